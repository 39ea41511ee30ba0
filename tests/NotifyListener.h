// The service manager's end of the notify protocol, for tests: a datagram socket that
// collects the state reports a service sends to NOTIFY_SOCKET.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>

namespace testsupport {

class NotifyListener {
  public:
    // Address: a file path, or "@name" for the abstract namespace.
    explicit NotifyListener(const std::string& Address) : address_(Address) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error("socket failed");
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        if (Address.size() >= sizeof sa.sun_path) throw std::runtime_error("address too long");
        memcpy(sa.sun_path, Address.data(), Address.size());
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + Address.size());
        if (Address[0] == '@')
            sa.sun_path[0] = '\0';
        else
            ++len;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), len) != 0)
            throw std::runtime_error("bind failed: " + std::string(strerror(errno)));
    }
    ~NotifyListener() {
        close(fd_);
        if (address_[0] != '@') unlink(address_.c_str());
    }
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    const std::string& Address() const { return address_; }

    // The next datagram, or "" when none arrives within the time-out (0: only one already there).
    std::string Receive(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return "";
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

  private:
    std::string address_;
    int fd_ = -1;
};

// A state report with the time of the last poll as "<time>", to be compared whole.
inline std::string WithoutPollTime(const std::string& Report) {
    static const std::regex Time(R"(last poll \d\d:\d\d:\d\d)");
    return std::regex_replace(Report, Time, "last poll <time>");
}

}  // namespace testsupport

// Posted requests on Linux: one byte each through a non-blocking pipe, as a signal handler may
// post and write(2) is async-signal-safe.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/EventLoop.h"

namespace {

constexpr size_t kDrainChunk = 64;

}  // namespace

struct TEventLoop::TWakeUp {
    int ReadFd = -1;
    int WriteFd = -1;
};

TEventLoop::TEventLoop() {
    int Fds[2];
    if (pipe2(Fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("Cannot create the event loop's request pipe");
    WakeUp.reset(new TWakeUp{Fds[0], Fds[1]});
}

TEventLoop::~TEventLoop() {
    close(WakeUp->ReadFd);
    close(WakeUp->WriteFd);
}

bool TEventLoop::Write(TControlRequest Request) {
    const int SavedErrno = errno;
    const uint8_t Byte = static_cast<uint8_t>(Request);
    ssize_t Written;
    while ((Written = write(WakeUp->WriteFd, &Byte, 1)) < 0 && errno == EINTR) {
    }
    errno = SavedErrno;
    return Written == 1;
}

void TEventLoop::Drain() {
    uint8_t Buffer[kDrainChunk];
    for (;;) {
        const ssize_t N = read(WakeUp->ReadFd, Buffer, sizeof Buffer);
        if (N < 0 && errno == EINTR) continue;
        if (N <= 0) return;
        for (ssize_t I = 0; I < N; ++I) Enqueue(static_cast<TControlRequest>(Buffer[I]));
    }
}

void TEventLoop::WaitForPost(int TimeoutMs) {
    pollfd Fd{WakeUp->ReadFd, POLLIN, 0};
    poll(&Fd, 1, TimeoutMs);  // EINTR: the caller looks again
}

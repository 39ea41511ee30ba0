#include "platform/ServiceHost.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/Heartbeat.h"
#include "platform/SysLog.h"

extern char** environ;

namespace {

// The longest user name the system's tools accept.
constexpr size_t kMaxUnitNameLength = 32;
constexpr const char* kDefaultUnitDirectory = "/etc/systemd/system";
// Present while systemd is the running service manager.
constexpr const char* kSystemdRuntimeDirectory = "/run/systemd/system";

// What the service may do beyond its own user's rights: nothing it does not need. The shares
// may lie anywhere but in /usr, /boot, /etc and /tmp (a private one): /home stays writable, as
// the user's rights already decide there.
constexpr const char* kUnitSandbox =
    "NoNewPrivileges=yes\n"
    "CapabilityBoundingSet=\n"
    "AmbientCapabilities=\n"
    "ProtectSystem=full\n"
    "ProtectHome=no\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "PrivateMounts=yes\n"
    "ProtectHostname=yes\n"
    "ProtectClock=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "RemoveIPC=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "SystemCallErrorNumber=EPERM\n"
    "DevicePolicy=closed\n"
    "KeyringMode=private\n";

std::atomic<TEventLoop*> gSignalLoop{nullptr};

void OnControlSignal(int Signal) {
    TEventLoop* Loop = gSignalLoop.load();
    if (!Loop) return;
    switch (Signal) {
        case SIGTERM:
        case SIGINT:
            Loop->Post(TControlRequest::Stop);
            break;
        case SIGTSTP:
            Loop->Post(TControlRequest::Pause);
            break;
        case SIGCONT:
            Loop->Post(TControlRequest::Continue);
            break;
        default:
            break;
    }
}

// The executable path as one ExecStart word: "%" and "$" would be expanded by systemd, and
// blanks, quotes and backslashes would split or change the word unless quoted.
std::string ExecStartWord(const std::string& Path) {
    std::string Plain;
    bool NeedsQuotes = false;
    for (char C : Path) {
        if (C == '%')
            Plain += "%%";
        else if (C == '$')
            Plain += "$$";
        else
            Plain += C;
        if (static_cast<unsigned char>(C) <= ' ' || C == '"' || C == '\'' || C == '\\' || C == ';')
            NeedsQuotes = true;
    }
    if (!NeedsQuotes) return Plain;
    std::string Quoted = "\"";
    for (char C : Plain) {
        if (C == '"' || C == '\\') Quoted += '\\';
        if (C == '\n') {
            Quoted += "\\n";
            continue;
        }
        Quoted += C;
    }
    return Quoted + "\"";
}

// A user or directory name that stays one word of a unit line and needs no escaping there.
bool IsUnitName(const std::string& Name) {
    if (Name.empty() || Name.size() > kMaxUnitNameLength || Name[0] == '-' || Name[0] == '.')
        return false;
    return std::all_of(Name.begin(), Name.end(), [](char C) {
        return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') ||
               C == '_' || C == '-' || C == '.';
    });
}

bool ManagedBySystemd() {
    const char* Dir = getenv("BROVA_UNIT_DIR");
    if (Dir && *Dir) return false;
    struct stat St;
    return lstat(kSystemdRuntimeDirectory, &St) == 0 && S_ISDIR(St.st_mode);
}

// Runs "systemctl --quiet Args..." and waits for it; throws when it cannot run or fails.
void RunSystemctl(const std::vector<std::string>& Args) {
    std::vector<std::string> Words = {"systemctl", "--quiet"};
    Words.insert(Words.end(), Args.begin(), Args.end());
    std::vector<char*> Argv;
    for (auto& W : Words) Argv.push_back(W.data());
    Argv.push_back(nullptr);
    std::string Command;
    for (size_t I = 0; I < Words.size(); ++I) Command += (I ? " " : "") + Words[I];

    pid_t Pid = -1;
    const int Err = posix_spawnp(&Pid, "systemctl", nullptr, nullptr, Argv.data(), environ);
    if (Err != 0) throw std::runtime_error(Command + ": " + SystemErrorText(Err));
    int Status = 0;
    while (waitpid(Pid, &Status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error(Command + ": " + SystemErrorText(errno));
    }
    if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
        throw std::runtime_error(
            Command + " failed with exit status " +
            std::to_string(WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status)));
}

std::string UnitPath(const TServiceDefinition& Service) {
    return ServiceUnitDirectory() + "/" + Service.Name + ".service";
}

// Writes Text to a new file at Path, never over an existing one: the text goes to a
// temporary file beside it, which is then renamed without replacing.
void WriteNewFile(const std::string& Path, const std::string& Text) {
    const auto Fail = [&](const std::string& Reason) {
        throw std::runtime_error("Cannot write " + Path + ": " + Reason);
    };
    const size_t Slash = Path.rfind('/');
    std::string Temp = Path.substr(0, Slash + 1) + "." + Path.substr(Slash + 1) + ".XXXXXX";
    const int Fd = mkostemp(Temp.data(), O_CLOEXEC);
    if (Fd < 0) Fail(SystemErrorText(errno));
    size_t Done = 0;
    int Err = 0;
    while (Done < Text.size() && Err == 0) {
        const ssize_t N = write(Fd, Text.data() + Done, Text.size() - Done);
        if (N < 0 && errno != EINTR) Err = errno;
        if (N > 0) Done += static_cast<size_t>(N);
    }
    if (Err == 0 && fchmod(Fd, 0644) != 0) Err = errno;
    if (close(Fd) != 0 && Err == 0) Err = errno;
    if (Err != 0) {
        unlink(Temp.c_str());
        Fail(SystemErrorText(Err));
    }
    std::string RenameError;
    if (!RenameNoReplace(Temp, Path, &RenameError)) {
        unlink(Temp.c_str());
        Fail(RenameError);
    }
}

}  // namespace

std::string NotifySocketFromEnvironment() {
    const char* Socket = getenv("NOTIFY_SOCKET");
    return Socket ? Socket : "";
}

std::string StateDirectoryFromEnvironment() {
    const char* Directories = getenv("STATE_DIRECTORY");
    if (!Directories || !*Directories) return "";
    std::string First = Directories;
    // Several StateDirectory= entries come as one list separated by ":".
    First = First.substr(0, First.find(':'));
    if (First.empty()) return "";
    return First.back() == '/' ? First : First + "/";
}

void TServiceNotifier::Notify(const std::string& State) const {
    if (SocketPath.empty()) return;
    const auto Fail = [&](int Err) {
        throw std::runtime_error("Cannot report \"" + State +
                                 "\" to the service manager: " + SystemErrorText(Err));
    };
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    if (SocketPath.size() >= sizeof Address.sun_path) Fail(ENAMETOOLONG);
    memcpy(Address.sun_path, SocketPath.data(), SocketPath.size());
    socklen_t Length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + SocketPath.size());
    if (SocketPath[0] == '@')
        Address.sun_path[0] = '\0';  // abstract namespace, no terminator
    else
        ++Length;

    const int Fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (Fd < 0) Fail(errno);
    ssize_t Sent;
    do {
        Sent = sendto(Fd, State.data(), State.size(), MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&Address), Length);
    } while (Sent < 0 && errno == EINTR);
    const int Err = errno;
    close(Fd);
    if (Sent < 0) Fail(Err);
}

std::chrono::microseconds WatchdogIntervalFromEnvironment() {
    const char* Pid = getenv("WATCHDOG_PID");
    if (Pid && *Pid && std::to_string(getpid()) != Pid) return {};
    const char* Usec = getenv("WATCHDOG_USEC");
    if (!Usec || !*Usec) return {};
    char* End = nullptr;
    errno = 0;
    const unsigned long long Value = strtoull(Usec, &End, 10);
    if (errno != 0 || *End != '\0' || *Usec == '-') return {};
    return std::chrono::microseconds(static_cast<int64_t>(Value));
}

int TServiceHost::Run(const TServiceHandlers& Handlers) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const bool Watched = WatchdogInterval.count() > 0 && Notifier.Active();
    const milliseconds BeatPeriod =
        Watched ? std::max(milliseconds(1), duration_cast<milliseconds>(WatchdogInterval / 4))
                : milliseconds(0);
    THeartbeat Heartbeat(BeatPeriod);
    std::mutex Lock;
    std::condition_variable Changed;
    bool Ended = false;
    int Result = 1;
    std::thread Service([&] {
        {
            const TServiceThreadBinding Binding(Heartbeat);
            Result = ServiceThread(Handlers);
        }
        const std::lock_guard<std::mutex> Guard(Lock);
        Ended = true;
        Changed.notify_all();
    });
    if (Watched) {
        // Pings only while the service thread shows it goes on: never for a hung one.
        const auto PingPeriod = WatchdogInterval / 8;
        const auto Fresh = duration_cast<milliseconds>(WatchdogInterval / 2);
        bool Failed = false;
        std::unique_lock<std::mutex> Guard(Lock);
        while (!Changed.wait_for(Guard, PingPeriod, [&] { return Ended; })) {
            if (!Heartbeat.Alive(Fresh)) continue;
            Guard.unlock();
            try {
                Notifier.Notify("WATCHDOG=1");
            } catch (const std::exception& E) {
                // Once: a socket that is gone would otherwise fill the system log.
                if (!Failed) WriteSystemLogError(ServiceName, E.what());
                Failed = true;
            }
            Guard.lock();
        }
    }
    Service.join();
    return Result;
}

void NameThisThread(const char* Name) { prctl(PR_SET_NAME, Name); }

void ForwardControlSignals(TEventLoop& Loop) {
    gSignalLoop = &Loop;
    struct sigaction Action {};
    Action.sa_handler = OnControlSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    for (int Signal : {SIGTERM, SIGINT, SIGTSTP, SIGCONT}) sigaction(Signal, &Action, nullptr);
    struct sigaction Ignore {};
    Ignore.sa_handler = SIG_IGN;
    sigemptyset(&Ignore.sa_mask);
    for (int Signal : {SIGHUP, SIGPIPE}) sigaction(Signal, &Ignore, nullptr);
}

std::string ServiceWorkingDirectoryText() { return "/ under systemd"; }

std::string ServiceUnitDirectory() {
    const char* Dir = getenv("BROVA_UNIT_DIR");
    return Dir && *Dir ? Dir : kDefaultUnitDirectory;
}

std::string ServiceUnitText(const TServiceDefinition& Service) {
    if (!IsUnitName(Service.User))
        throw std::invalid_argument("\"" + Service.User + "\" is not a user name");
    if (!IsUnitName(Service.StateDirectory))
        throw std::invalid_argument("\"" + Service.StateDirectory +
                                    "\" is not a state directory name");
    return "[Unit]\n"
           "Description=" +
           Service.DisplayName +
           "\n"
           "After=network-online.target\n"
           "Wants=network-online.target\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           ExecStartWord(Service.ExecutablePath) +
           "\n"
           "Restart=on-failure\n"
           "RestartSec=" +
           std::to_string(kUnitRestartDelaySec) +
           "\n"
           "TimeoutStartSec=" +
           std::to_string(kUnitStartTimeoutSec) +
           "\n"
           "TimeoutStopSec=" +
           std::to_string(kUnitStopTimeoutSec) +
           "\n"
           "WatchdogSec=" +
           std::to_string(kUnitWatchdogSec) +
           "\n"
           // Each file in flight takes a thread and a few descriptors; files in flight have no
           // limit.
           "TasksMax=infinity\n"
           "LimitNOFILE=" +
           std::to_string(kUnitMaxOpenFiles) +
           "\n"
           "User=" +
           Service.User +
           "\n"
           "StateDirectory=" +
           Service.StateDirectory +
           "\n"
           "StateDirectoryMode=0750\n"
           // The configuration and every file written stay out of other users' reach.
           "UMask=0027\n" +
           kUnitSandbox +
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

void InstallService(const TServiceDefinition& Service) {
    const bool Systemd = ManagedBySystemd();
    const std::string Unit = Service.Name + ".service";
    WriteNewFile(UnitPath(Service), ServiceUnitText(Service));
    if (Systemd) {
        RunSystemctl({"daemon-reload"});
        RunSystemctl({"enable", Unit});
    }
}

void UninstallService(const TServiceDefinition& Service) {
    const bool Systemd = ManagedBySystemd();
    const std::string Path = UnitPath(Service);
    const std::string Unit = Service.Name + ".service";
    struct stat St;
    if (lstat(Path.c_str(), &St) != 0)
        throw std::runtime_error("Cannot remove " + Path + ": " + SystemErrorText(errno));
    if (Systemd) RunSystemctl({"disable", Unit});
    if (unlink(Path.c_str()) != 0)
        throw std::runtime_error("Cannot remove " + Path + ": " + SystemErrorText(errno));
    if (Systemd) RunSystemctl({"daemon-reload"});
}

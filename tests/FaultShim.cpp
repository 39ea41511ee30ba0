// Real faults for process tests, loaded with LD_PRELOAD into the service under test: calls of
// write, pwrite, fdatasync, fsync, close, rename, renameat2, link and connect fail with a chosen
// errno, the process kills itself with SIGKILL right after a chosen call returned, or that call's
// thread pauses before it returns, so that a test can change a file at that very point.
//
//   BROVA_SHIM_FAIL="call:ERRNO:N:text[;...]"  every Nth call of `call` whose subject holds `text`
//                                              fails with ERRNO (ENOSPC, EIO, EDQUOT, EROFS, ...)
//   BROVA_SHIM_KILL="call:N:text"              SIGKILL right after the Nth successful such call
//   BROVA_SHIM_PAUSE="call:MS:N:text"          the Nth successful such call returns MS ms late
//   BROVA_SHIM_SWITCH=/path                    the failures apply only while this file exists
//
// The subject of a call on a descriptor is the path it names (/proc/self/fd), of a rename
// "from -> to", of a connect "address:port". `text` may be empty. The call names are those above.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

enum { kMaxRules = 16, kSubject = 4096 };

namespace {

struct Rule {
    char Call[16];
    char Text[256];
    int Errno;    // 0: a kill or pause rule
    int PauseMs;  // a pause rule's delay; 0: a kill rule
    long Every;
    std::atomic<long> Seen;
};

Rule Rules[kMaxRules];
int RuleCount;
const char* Switch;

const struct {
    const char* Name;
    int Value;
} kErrnos[] = {{"ENOSPC", ENOSPC},
               {"EIO", EIO},
               {"EDQUOT", EDQUOT},
               {"EROFS", EROFS},
               {"EACCES", EACCES},
               {"EPERM", EPERM},
               {"ENAMETOOLONG", ENAMETOOLONG},
               {"EINTR", EINTR},
               {"EAGAIN", EAGAIN},
               {"ECONNREFUSED", ECONNREFUSED},
               {"EINVAL", EINVAL}};

int ErrnoByName(const char* Name) {
    for (size_t I = 0; I < sizeof kErrnos / sizeof kErrnos[0]; ++I)
        if (strcmp(kErrnos[I].Name, Name) == 0) return kErrnos[I].Value;
    return atoi(Name);
}

// "call:ERRNO:N:text" (Kill false), "call:N:text" (Kill true) or "call:MS:N:text" (Pause true).
void AddRule(char* Spec, int Kill, int Pause = 0) {
    if (RuleCount == kMaxRules) return;
    Rule* R = &Rules[RuleCount];
    char* Save = nullptr;
    const char* Call = strtok_r(Spec, ":", &Save);
    const char* Errno = Kill && !Pause ? "0" : strtok_r(nullptr, ":", &Save);
    const char* Every = strtok_r(nullptr, ":", &Save);
    const char* Text = strtok_r(nullptr, "", &Save);
    if (!Call || !Errno || !Every) return;
    snprintf(R->Call, sizeof R->Call, "%s", Call);
    snprintf(R->Text, sizeof R->Text, "%s", Text ? Text : "");
    R->Errno = Kill ? 0 : ErrnoByName(Errno);
    R->PauseMs = Pause ? atoi(Errno) : 0;
    R->Every = atol(Every) > 0 ? atol(Every) : 1;
    R->Seen = 0;
    ++RuleCount;
}

__attribute__((constructor)) void ReadRules() {
    char Buffer[2048];
    const char* Fail = getenv("BROVA_SHIM_FAIL");
    if (Fail) {
        snprintf(Buffer, sizeof Buffer, "%s", Fail);
        char* Save = nullptr;
        for (char* Spec = strtok_r(Buffer, ";", &Save); Spec;
             Spec = strtok_r(nullptr, ";", &Save)) {
            char One[512];
            snprintf(One, sizeof One, "%s", Spec);
            AddRule(One, 0);
        }
    }
    const char* Kill = getenv("BROVA_SHIM_KILL");
    if (Kill) {
        snprintf(Buffer, sizeof Buffer, "%s", Kill);
        AddRule(Buffer, 1);
    }
    const char* Pause = getenv("BROVA_SHIM_PAUSE");
    if (Pause) {
        snprintf(Buffer, sizeof Buffer, "%s", Pause);
        AddRule(Buffer, 1, 1);
    }
    Switch = getenv("BROVA_SHIM_SWITCH");
}

int Wanted(const char* Call) {
    for (int I = 0; I < RuleCount; ++I)
        if (strcmp(Rules[I].Call, Call) == 0) return 1;
    return 0;
}

void FdSubject(int Fd, char* Out) {
    char Link[64];
    snprintf(Link, sizeof Link, "/proc/self/fd/%d", Fd);
    const ssize_t N = readlink(Link, Out, size_t(kSubject) - 1);
    Out[N > 0 ? N : 0] = '\0';
}

// The errno the call must fail with, or 0.
int FaultFor(const char* Call, const char* Subject) {
    if (Switch && access(Switch, F_OK) != 0) return 0;
    for (int I = 0; I < RuleCount; ++I) {
        Rule* R = &Rules[I];
        if (!R->Errno || strcmp(R->Call, Call) != 0 || !strstr(Subject, R->Text)) continue;
        if ((R->Seen.fetch_add(1) + 1) % R->Every == 0) return R->Errno;
    }
    return 0;
}

void AfterSuccess(const char* Call, const char* Subject) {
    for (int I = 0; I < RuleCount; ++I) {
        Rule* R = &Rules[I];
        if (R->Errno || strcmp(R->Call, Call) != 0 || !strstr(Subject, R->Text)) continue;
        if (R->Seen.fetch_add(1) + 1 != R->Every) continue;
        if (R->PauseMs)
            usleep(static_cast<useconds_t>(R->PauseMs) * 1000);
        else
            raise(SIGKILL);
    }
}

int Failed(int Fault) {
    errno = Fault;
    return -1;
}

int OnDescriptor(const char* Call, int Fd, int (*Real)(int)) {
    if (!Wanted(Call)) return Real(Fd);
    char Subject[kSubject];
    FdSubject(Fd, Subject);
    const int Fault = FaultFor(Call, Subject);
    if (Fault) {
        // A failed close still releases the descriptor, as the kernel's does.
        if (strcmp(Call, "close") == 0) Real(Fd);
        errno = Fault;
        return -1;
    }
    const int Result = Real(Fd);
    if (Result == 0) AfterSuccess(Call, Subject);
    return Result;
}

// The next definition of a call, the one this library stands in front of.
template <class TCall>
TCall Next(const char* Name) {
    return reinterpret_cast<TCall>(dlsym(RTLD_NEXT, Name));
}

// A call on two paths, "From -> To" its subject.
int OnTwoPaths(const char* Call, const char* From, const char* To,
               int (*Real)(const char*, const char*)) {
    if (!Wanted(Call)) return Real(From, To);
    char Subject[kSubject];
    snprintf(Subject, sizeof Subject, "%s -> %s", From, To);
    const int Fault = FaultFor(Call, Subject);
    if (Fault) return Failed(Fault);
    const int Result = Real(From, To);
    if (Result == 0) AfterSuccess(Call, Subject);
    return Result;
}

}  // namespace

extern "C" {

ssize_t write(int Fd, const void* Data, size_t Size) {
    static const auto Real = Next<ssize_t (*)(int, const void*, size_t)>("write");
    if (!Wanted("write")) return Real(Fd, Data, Size);
    char Subject[kSubject];
    FdSubject(Fd, Subject);
    if (const int Fault = FaultFor("write", Subject)) return Failed(Fault);
    const ssize_t Result = Real(Fd, Data, Size);
    if (Result >= 0) AfterSuccess("write", Subject);
    return Result;
}

ssize_t pwrite(int Fd, const void* Data, size_t Size, off_t Offset) {
    static const auto Real = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    if (!Wanted("pwrite")) return Real(Fd, Data, Size, Offset);
    char Subject[kSubject];
    FdSubject(Fd, Subject);
    if (const int Fault = FaultFor("pwrite", Subject)) return Failed(Fault);
    const ssize_t Result = Real(Fd, Data, Size, Offset);
    if (Result >= 0) AfterSuccess("pwrite", Subject);
    return Result;
}

ssize_t pwrite64(int Fd, const void* Data, size_t Size, off_t Offset) {
    return pwrite(Fd, Data, Size, Offset);
}

int fdatasync(int Fd) {
    static const auto Real = Next<int (*)(int)>("fdatasync");
    return OnDescriptor("fdatasync", Fd, Real);
}

int fsync(int Fd) {
    static const auto Real = Next<int (*)(int)>("fsync");
    return OnDescriptor("fsync", Fd, Real);
}

int close(int Fd) {
    static const auto Real = Next<int (*)(int)>("close");
    return OnDescriptor("close", Fd, Real);
}

int rename(const char* From, const char* To) {
    static const auto Real = Next<int (*)(const char*, const char*)>("rename");
    return OnTwoPaths("rename", From, To, Real);
}

int link(const char* From, const char* To) {
    static const auto Real = Next<int (*)(const char*, const char*)>("link");
    return OnTwoPaths("link", From, To, Real);
}

int renameat2(int FromDir, const char* From, int ToDir, const char* To, unsigned Flags) {
    static const auto Real =
        Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    if (!Wanted("renameat2")) return Real(FromDir, From, ToDir, To, Flags);
    char Subject[kSubject];
    snprintf(Subject, sizeof Subject, "%s -> %s", From, To);
    const int Fault = FaultFor("renameat2", Subject);
    if (Fault) return Failed(Fault);
    const int Result = Real(FromDir, From, ToDir, To, Flags);
    if (Result == 0) AfterSuccess("renameat2", Subject);
    return Result;
}

int connect(int Fd, const struct sockaddr* Address, socklen_t Length) {
    static const auto Real = Next<int (*)(int, const struct sockaddr*, socklen_t)>("connect");
    if (!Wanted("connect") || Address->sa_family != AF_INET) return Real(Fd, Address, Length);
    const auto* In = reinterpret_cast<const sockaddr_in*>(Address);
    char Host[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &In->sin_addr, Host, sizeof Host);
    char Subject[kSubject];
    snprintf(Subject, sizeof Subject, "%s:%d", Host, ntohs(In->sin_port));
    // A kill before the mail goes out must come before the server sees anyone: kill rules on
    // connect fire before the real call.
    for (int I = 0; I < RuleCount; ++I) {
        Rule* R = &Rules[I];
        if (!R->Errno && strcmp(R->Call, "connect") == 0 && strstr(Subject, R->Text) &&
            R->Seen.fetch_add(1) + 1 == R->Every)
            raise(SIGKILL);
    }
    if (const int Fault = FaultFor("connect", Subject)) return Failed(Fault);
    return Real(Fd, Address, Length);
}

}  // extern "C"

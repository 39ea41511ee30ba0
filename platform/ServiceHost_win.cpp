// The service host for the Windows service control manager: the dispatcher and its control
// handler, state reports through SetServiceStatus, console control events, and the service's
// registration with its restart actions and its event-log sources.
#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>
// Our DeleteFile (platform/Files.h), not the macro for DeleteFileW.
#undef DeleteFile

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/Heartbeat.h"
#include "platform/ServiceHost.h"
#include "platform/SysLog.h"
#include "platform/WideText_win.h"

namespace {

// What NotifySocketFromEnvironment() gives a process the service control manager started.
constexpr const char* kServiceManagerMarker = "scm";
constexpr const wchar_t* kServiceManagerImage = L"services.exe";
constexpr const wchar_t* kEventLogKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
// Error, warning and information entries.
constexpr DWORD kEventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
// The failure counter starts anew after a day without failures; every failure restarts.
constexpr DWORD kFailureResetPeriodSec = 24 * 60 * 60;
constexpr int kRestartActions = 3;
// Pause and continue pend only while the loop passes from one state to the next.
constexpr DWORD kPauseWaitHintMs = 30 * 1000;

[[noreturn]] void Fail(const std::string& What, DWORD Error) {
    throw std::runtime_error(What + ": " + WindowsErrorText(Error));
}

bool ParentIsServiceManager() {
    const HANDLE Snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (Snapshot == INVALID_HANDLE_VALUE) return false;
    const DWORD Self = GetCurrentProcessId();
    std::vector<PROCESSENTRY32W> Processes;
    PROCESSENTRY32W Entry{};
    Entry.dwSize = sizeof Entry;
    for (BOOL More = Process32FirstW(Snapshot, &Entry); More;
         More = Process32NextW(Snapshot, &Entry))
        Processes.push_back(Entry);
    CloseHandle(Snapshot);
    DWORD Parent = 0;
    for (const PROCESSENTRY32W& P : Processes)
        if (P.th32ProcessID == Self) Parent = P.th32ParentProcessID;
    if (Parent == 0) return false;
    for (const PROCESSENTRY32W& P : Processes)
        if (P.th32ProcessID == Parent) {
            // The image name alone: the snapshot gives no path, the service manager has one.
            return CompareStringOrdinal(P.szExeFile, -1, kServiceManagerImage, -1, TRUE) ==
                   CSTR_EQUAL;
        }
    return false;
}

bool StartedByServiceManager() {
    static const bool Started = ParentIsServiceManager();
    return Started;
}

// The state the service manager was last told, which each report changes in part.
std::mutex gStatusLock;
SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
SERVICE_STATUS gStatus{};

bool StartsWith(const std::string& Line, const char* Prefix) {
    return Line.compare(0, strlen(Prefix), Prefix) == 0;
}

void EnterState(DWORD State, DWORD WaitHintMs) {
    gStatus.dwCurrentState = State;
    gStatus.dwWaitHint = WaitHintMs;
    const bool Pending = State == SERVICE_START_PENDING || State == SERVICE_STOP_PENDING ||
                         State == SERVICE_PAUSE_PENDING || State == SERVICE_CONTINUE_PENDING;
    gStatus.dwCheckPoint = Pending ? gStatus.dwCheckPoint + 1 : 0;
    const bool Controllable = State == SERVICE_RUNNING || State == SERVICE_PAUSED;
    gStatus.dwControlsAccepted =
        Controllable ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN
                     : 0;
}

// Maps the notify protocol's lines onto the service status: READY=1 and "STATUS=Running..."
// are running, STOPPING=1 stop pending, the other STATUS= texts the state they name;
// EXTEND_TIMEOUT_USEC=N moves a pending state on and gives it N more; stopped straight from
// start pending is a failed start. True when the status changed.
bool ApplyState(const std::string& State) {
    bool Changed = false;
    size_t Begin = 0;
    while (Begin <= State.size()) {
        size_t End = State.find('\n', Begin);
        if (End == std::string::npos) End = State.size();
        const std::string Line = State.substr(Begin, End - Begin);
        Begin = End + 1;
        bool Known = true;
        if (Line == "READY=1" || StartsWith(Line, "STATUS=Running"))
            EnterState(SERVICE_RUNNING, 0);
        else if (Line == "STOPPING=1" || Line == "STATUS=Stop pending") {
            if (gStatus.dwCurrentState != SERVICE_STOP_PENDING)
                EnterState(SERVICE_STOP_PENDING, kUnitStopTimeoutSec * 1000);
        } else if (Line == "STATUS=Start pending")
            EnterState(SERVICE_START_PENDING, kUnitStartTimeoutSec * 1000);
        else if (Line == "STATUS=Pause pending")
            EnterState(SERVICE_PAUSE_PENDING, kPauseWaitHintMs);
        else if (Line == "STATUS=Paused")
            EnterState(SERVICE_PAUSED, 0);
        else if (Line == "STATUS=Continue pending")
            EnterState(SERVICE_CONTINUE_PENDING, kPauseWaitHintMs);
        else if (Line == "STATUS=Stopped") {
            // Stopped without ever running: the start failed, which the restart actions see.
            if (gStatus.dwCurrentState == SERVICE_START_PENDING) {
                gStatus.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
                gStatus.dwServiceSpecificExitCode = 1;
            }
            EnterState(SERVICE_STOPPED, 0);
        } else if (StartsWith(Line, "EXTEND_TIMEOUT_USEC=") && gStatus.dwCheckPoint != 0) {
            const unsigned long long Usec =
                strtoull(Line.c_str() + strlen("EXTEND_TIMEOUT_USEC="), nullptr, 10);
            gStatus.dwWaitHint =
                static_cast<DWORD>(std::min<unsigned long long>((Usec + 999) / 1000, MAXDWORD));
            ++gStatus.dwCheckPoint;
        } else
            Known = false;  // WATCHDOG=1 and the like mean nothing here
        Changed = Changed || Known;
    }
    return Changed;
}

// Run() and the dispatcher's callbacks, which take no context of their own.
TServiceHost* gHost = nullptr;
const TServiceHandlers* gHandlers = nullptr;
std::wstring gServiceName;
int gResult = 1;

DWORD WINAPI ControlHandler(DWORD Control, DWORD, void*, void*) {
    TEventLoop& Loop = gHost->Loop();
    switch (Control) {
        case SERVICE_CONTROL_STOP:
            Loop.Post(TControlRequest::Stop);
            return NO_ERROR;
        case SERVICE_CONTROL_SHUTDOWN:
            Loop.Post(TControlRequest::Shutdown);
            return NO_ERROR;
        case SERVICE_CONTROL_PAUSE:
            Loop.Post(TControlRequest::Pause);
            return NO_ERROR;
        case SERVICE_CONTROL_CONTINUE:
            Loop.Post(TControlRequest::Continue);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

std::atomic<TEventLoop*> gConsoleLoop{nullptr};

BOOL WINAPI ConsoleHandler(DWORD Event) {
    TEventLoop* Loop = gConsoleLoop.load();
    if (!Loop) return FALSE;
    switch (Event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            Loop->Post(TControlRequest::Stop);
            return TRUE;
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // A service gets these for every user's logoff; its shutdown comes from the
            // service manager.
            if (!StartedByServiceManager()) Loop->Post(TControlRequest::Shutdown);
            return TRUE;
        default:
            return FALSE;
    }
}

std::wstring EventSourceKey(const std::string& Source) { return kEventLogKey + WideOf(Source); }

// The event-log sources the service writes under: its name and its executable's file name.
std::vector<std::string> EventSources(const TServiceDefinition& Service) {
    return {Service.Name, FileNameOf(Service.ExecutablePath)};
}

void RegisterEventSource(const std::string& Source, const std::string& MessageFile) {
    HKEY Key = nullptr;
    LSTATUS Err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey(Source).c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &Key, nullptr);
    if (Err != ERROR_SUCCESS) Fail("Cannot register the event source " + Source, Err);
    const std::wstring File = WideOf(MessageFile);
    const DWORD Types = kEventTypesSupported;
    Err = RegSetValueExW(Key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                         reinterpret_cast<const BYTE*>(File.c_str()),
                         static_cast<DWORD>((File.size() + 1) * sizeof(wchar_t)));
    if (Err == ERROR_SUCCESS)
        Err = RegSetValueExW(Key, L"TypesSupported", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&Types), sizeof Types);
    RegCloseKey(Key);
    if (Err != ERROR_SUCCESS) Fail("Cannot register the event source " + Source, Err);
}

void RemoveEventSource(const std::string& Source) {
    const LSTATUS Err = RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey(Source).c_str());
    if (Err != ERROR_SUCCESS && Err != ERROR_FILE_NOT_FOUND)
        Fail("Cannot remove the event source " + Source, Err);
}

class TScHandle {
  public:
    explicit TScHandle(SC_HANDLE Handle) : Handle(Handle) {}
    ~TScHandle() {
        if (Handle) CloseServiceHandle(Handle);
    }
    TScHandle(const TScHandle&) = delete;
    TScHandle& operator=(const TScHandle&) = delete;
    SC_HANDLE Get() const { return Handle; }

  private:
    SC_HANDLE Handle;
};

// The account /INSTALL gives the service: LocalSystem unless /USER named a Windows account
// ("DOMAIN\name", ".\name", "name@domain"). A plain name is the Linux user the unit would run
// as, and a Windows account needs its password set in the service's properties anyway.
std::wstring ServiceAccount(const std::string& User) {
    return User.find_first_of("\\@") == std::string::npos ? std::wstring() : WideOf(User);
}

}  // namespace

std::string NotifySocketFromEnvironment() {
    return StartedByServiceManager() ? kServiceManagerMarker : "";
}

// The state lives beside the executable.
std::string StateDirectoryFromEnvironment() { return ""; }

// The service manager has no watchdog.
std::chrono::microseconds WatchdogIntervalFromEnvironment() { return {}; }

void TServiceNotifier::Notify(const std::string& State) const {
    if (SocketPath.empty()) return;
    std::lock_guard<std::mutex> Guard(gStatusLock);
    // Before the dispatcher registered the service there is nobody to tell.
    if (!gStatusHandle || !ApplyState(State)) return;
    if (!SetServiceStatus(gStatusHandle, &gStatus))
        Fail("Cannot report \"" + State + "\" to the service manager", GetLastError());
}

int TServiceHost::Run(const TServiceHandlers& Handlers) {
    if (!Notifier.Active()) {
        THeartbeat Heartbeat;
        int Result = 1;
        std::thread Service([&] {
            const TServiceThreadBinding Binding(Heartbeat);
            Result = ServiceThread(Handlers);
        });
        Service.join();
        return Result;
    }
    gHost = this;
    gHandlers = &Handlers;
    gServiceName = WideOf(ServiceName);
    gResult = 1;
    // The dispatcher runs ServiceMain on a thread of its own, which becomes the service thread,
    // and the control handler on this one.
    const auto ServiceMain = [](DWORD, LPWSTR*) {
        {
            const std::lock_guard<std::mutex> Guard(gStatusLock);
            gStatusHandle =
                RegisterServiceCtrlHandlerExW(gServiceName.c_str(), ControlHandler, nullptr);
            gStatus = {};
            gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
            gStatus.dwCurrentState = SERVICE_START_PENDING;
        }
        if (!gStatusHandle) {
            WriteSystemLogError(
                Utf8Of(gServiceName.c_str()),
                "Cannot register the service control handler: " + WindowsErrorText(GetLastError()));
            return;
        }
        THeartbeat Heartbeat;
        const TServiceThreadBinding Binding(Heartbeat);
        gResult = gHost->ServiceThread(*gHandlers);
    };
    SERVICE_TABLE_ENTRYW Table[] = {{gServiceName.data(), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(Table)) {
        const DWORD Error = GetLastError();
        SetSystemLogEcho(true);
        WriteSystemLogError(ServiceName, WindowsErrorText(Error));
        return 1;
    }
    return gResult;
}

void NameThisThread(const char* Name) {
    // Windows 10 1607 and later; older systems and Wine may lack it.
    using TSetThreadDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const HMODULE Kernel = GetModuleHandleW(L"kernel32.dll");
    const auto Set = Kernel ? reinterpret_cast<TSetThreadDescription>(reinterpret_cast<void*>(
                                  GetProcAddress(Kernel, "SetThreadDescription")))
                            : nullptr;
    if (Set) Set(GetCurrentThread(), WideOf(Name).c_str());
}

void ForwardControlSignals(TEventLoop& Loop) {
    gConsoleLoop = &Loop;
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
}

// The service manager keeps the registration; there are no unit files.
std::string ServiceWorkingDirectoryText() { return "the system folder under the service manager"; }

std::string ServiceUnitDirectory() { return ""; }

std::string ServiceUnitText(const TServiceDefinition&) {
    throw std::logic_error("A Windows service has no unit file");
}

void InstallService(const TServiceDefinition& Service) {
    const TScHandle Manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!Manager.Get()) Fail("Cannot open the service control manager", GetLastError());
    const std::wstring Name = WideOf(Service.Name);
    const std::wstring Command = L"\"" + WideOf(Service.ExecutablePath) + L"\"";
    const std::wstring Account = ServiceAccount(Service.User);
    const TScHandle Created(CreateServiceW(
        Manager.Get(), Name.c_str(), WideOf(Service.DisplayName).c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, Command.c_str(),
        nullptr, nullptr, nullptr, Account.empty() ? nullptr : Account.c_str(), nullptr));
    if (!Created.Get()) Fail("Cannot create the service " + Service.Name, GetLastError());
    try {
        std::wstring Description = WideOf(Service.DisplayName);
        SERVICE_DESCRIPTIONW DescriptionInfo{Description.data()};
        if (!ChangeServiceConfig2W(Created.Get(), SERVICE_CONFIG_DESCRIPTION, &DescriptionInfo))
            Fail("Cannot set the description of the service " + Service.Name, GetLastError());
        SC_ACTION Actions[kRestartActions];
        for (SC_ACTION& Action : Actions) Action = {SC_ACTION_RESTART, kUnitRestartDelaySec * 1000};
        SERVICE_FAILURE_ACTIONSW Failure{};
        Failure.dwResetPeriod = kFailureResetPeriodSec;
        Failure.cActions = kRestartActions;
        Failure.lpsaActions = Actions;
        if (!ChangeServiceConfig2W(Created.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &Failure))
            Fail("Cannot set the restart actions of the service " + Service.Name, GetLastError());
        // A failed start stops the service with an exit code rather than by crashing: that
        // must count as a failure too. Older systems and Wine may not know the flag.
        SERVICE_FAILURE_ACTIONS_FLAG OnExitCode{TRUE};
        ChangeServiceConfig2W(Created.Get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &OnExitCode);
        for (const std::string& Source : EventSources(Service))
            RegisterEventSource(Source, Service.ExecutablePath);
    } catch (...) {
        DeleteService(Created.Get());
        for (const std::string& Source : EventSources(Service)) {
            try {
                RemoveEventSource(Source);
            } catch (const std::exception&) {
                // Already the less important failure.
            }
        }
        throw;
    }
}

void UninstallService(const TServiceDefinition& Service) {
    const TScHandle Manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!Manager.Get()) Fail("Cannot open the service control manager", GetLastError());
    // A running service goes once it stops, as a disabled unit does.
    const TScHandle Existing(OpenServiceW(Manager.Get(), WideOf(Service.Name).c_str(), DELETE));
    if (!Existing.Get()) Fail("Cannot open the service " + Service.Name, GetLastError());
    if (!DeleteService(Existing.Get()))
        Fail("Cannot remove the service " + Service.Name, GetLastError());
    for (const std::string& Source : EventSources(Service)) RemoveEventSource(Source);
}

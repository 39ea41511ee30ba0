// The process entry: installs or removes the service, or runs it under the service manager
// (or in the foreground with /CONSOLE) until it is stopped, or checks its configuration
// (/CHECK) or an input file (/VALIDATE).

#ifdef BROVA_HANG_ON_SIGUSR1
#include <signal.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "host/BulkSMSService.h"
#include "host/uFileValidation.h"
#include "host/uOnlineCheck.h"
#include "platform/Files.h"
#include "platform/Memory.h"
#include "platform/ServiceHost.h"
#include "platform/SysLog.h"

namespace {

// What a service start outside the service manager reports, as the platform words it.
constexpr const char* kNotConnectedText =
    "The service process could not connect to the service controller.";
// Buffers up to this size come from the heap; larger ones are mapped on their own.
constexpr int kHeapBufferLimit = 64 << 20;
// Freed heap memory up to this much stays with the process for the next buffers.
constexpr int kHeapKeptFree = 256 << 20;
// The kernel keeps at most 15 characters of a thread's name.
constexpr const char* kMainThreadName = "BrovaCSVSender";
// Where the service writes its figures for node_exporter; unset: nowhere.
constexpr const char* kMetricsFileVariable = "BROVA_METRICS_FILE";
// /VALIDATE: no row rejected, some rejected, the file or its entry could not be had.
constexpr int kValidateClean = 0;
constexpr int kValidateRejected = 1;
constexpr int kValidateFailed = 2;

#ifdef BROVA_HANG_ON_SIGUSR1
// Test build only: SIGUSR1 makes the service thread hang for good, as a deadlock would.
std::atomic<bool> gHangRequested{false};
constexpr uint32_t kHangCheckMs = 20;

void StartHangHook(TEventLoop& Loop) {
    signal(SIGUSR1, [](int) { gHangRequested = true; });
    static TTimer Check(Loop);
    Check.SetInterval(kHangCheckMs);
    Check.OnTimer = [] {
        while (gHangRequested) std::this_thread::sleep_for(std::chrono::hours(1));
    };
    Check.Arm();
}
#else
void StartHangHook(TEventLoop&) {}
#endif

int InstallOrUninstall(const TsvcBrovaCSVSender& Service, const TCommandLine& Command) {
    if (Command.Install && Command.UserMissing) {
        std::cerr << kServiceDisplayName << ": /USER needs a name: /INSTALL /USER NAME"
                  << std::endl;
        return 1;
    }
    try {
        if (Command.Install) {
            InstallService(Service.Definition(Command.User));
            if (!Command.Silent) std::cout << "Service installed successfully" << std::endl;
        } else {
            UninstallService(Service.Definition(Command.User));
            if (!Command.Silent) std::cout << "Service uninstalled successfully" << std::endl;
        }
        return 0;
    } catch (const std::exception& E) {
        std::cerr << kServiceDisplayName << ": " << E.what() << std::endl;
        return 1;
    }
}

// Prints what in the configuration would fail at run time, one line each, and with Online
// what the gateway and the mail relay answered; 1 when anything would fail or failed.
int CheckConfiguration(const TsvcBrovaCSVSender& Service, bool Online) {
    const std::vector<std::string> Findings = Service.CheckConfiguration();
    for (const std::string& Finding : Findings) std::cout << Finding << '\n';
    const std::string Path = ConfigFileName(Service.ExePath);
    if (Findings.empty()) std::cout << "Nothing in " << Path << " would fail." << '\n';
    bool Worked = true;
    if (Online) {
        std::shared_ptr<IXMLBulkCSVSenderType> Config;
        try {
            Config = LoadBulkCSVSender(Path);
        } catch (const std::exception&) {
            // The finding above says why.
        }
        if (Config) {
            const TOnlineCheck Check = CheckOnline(*Config);
            for (const std::string& Line : Check.Lines) std::cout << Line << '\n';
            Worked = Check.Worked;
        }
    }
    return Findings.empty() && Worked ? 0 : 1;
}

// Prints the confirmation lines of the rows of the file that a run would reject, then the count.
int ValidateFile(const TsvcBrovaCSVSender& Service, const TCommandLine& Command) {
    if (Command.ValidateFile.empty()) {
        std::cerr << kServiceDisplayName << ": /VALIDATE needs a file: /VALIDATE FILE [PROTOCOL]"
                  << std::endl;
        return kValidateFailed;
    }
    try {
        const TFileValidation Result = ValidateInputFile(Service.ExePath, Command.ValidateFile,
                                                         Command.ValidateProtocol, Now());
        for (const std::string& Line : Result.RejectedLines) std::cout << Line << '\n';
        const size_t Rejected = Result.RejectedLines.size();
        const int64_t Rows = Result.Accepted + static_cast<int64_t>(Rejected);
        std::cout << Rows << (Rows == 1 ? " row: " : " rows: ") << Result.Accepted << " accepted, "
                  << Rejected << " rejected" << '\n';
        return Rejected == 0 ? kValidateClean : kValidateRejected;
    } catch (const std::exception& E) {
        std::cerr << kServiceDisplayName << ": " << E.what() << std::endl;
        return kValidateFailed;
    }
}

int RunService(TsvcBrovaCSVSender& Service, bool Console) {
    const std::string ExeFileName = FileNameOf(Service.ExePath);
    const std::string NotifySocket = NotifySocketFromEnvironment();
    if (!Console && NotifySocket.empty()) {
        // Started by hand rather than by the service manager: say so where a person sees it.
        SetSystemLogEcho(true);
        WriteSystemLogError(ExeFileName, kNotConnectedText);
        return 1;
    }
    if (Console) {
        SetSystemLogEcho(true);
        std::cerr << kApplicationTitle << " running in the foreground; SIGINT or SIGTERM stops it."
                  << std::endl;
    }

    TServiceHost Host(kServiceName, ExeFileName, TServiceNotifier(NotifySocket),
                      WatchdogIntervalFromEnvironment());
    const TServiceNotifier StopNotifier(NotifySocket);
    Service.ExtendStopTimeout = [&](std::chrono::microseconds More) {
        try {
            StopNotifier.Notify("EXTEND_TIMEOUT_USEC=" + std::to_string(More.count()));
        } catch (const std::exception& E) {
            WriteSystemLogError(kServiceName, E.what());
        }
    };
    ForwardControlSignals(Host.Loop());
    const char* MetricsFile = std::getenv(kMetricsFileVariable);
    Service.MetricsFile = MetricsFile ? MetricsFile : "";
    const int Result =
        Host.Run({[&](TEventLoop& Loop) {
                      Service.ServiceStart(Loop);
                      StartHangHook(Loop);
                  },
                  [&] { Service.ServiceStop(); }, [&] { return Service.StatusFigures(); }});
    Service.ReleaseAtProcessEnd();
    return Result;
}

}  // namespace

int main(int argc, char** argv) {
    NameThisThread(kMainThreadName);
    // Every part of a file makes buffers of some hundred kilobytes (its XML, its envelope, the
    // answer). From the heap and kept there once freed, the next part's take pages that are
    // already mapped, instead of new mappings that fault in page by page.
    KeepBuffersInHeap(kHeapBufferLimit, kHeapKeptFree);
    int Result = 1;
    try {
        TsvcBrovaCSVSender Service(ExecutablePath(), Now);
        const TCommandLine Command =
            ParseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
        if (Command.Install || Command.Uninstall)
            Result = InstallOrUninstall(Service, Command);
        else if (Command.Check)
            Result = CheckConfiguration(Service, Command.Online);
        else if (Command.Validate)
            Result = ValidateFile(Service, Command);
        else
            Result = RunService(Service, Command.Console);
    } catch (const std::exception& E) {
        SetSystemLogEcho(true);
        WriteSystemLogError(kServiceName, E.what());
    }
    // Workers may still run: leave without static destructors pulling things from under them.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(Result);
}

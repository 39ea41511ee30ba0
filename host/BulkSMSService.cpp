#include "host/BulkSMSService.h"

#include <algorithm>

#include "host/uConfigCheck.h"
#include "platform/Heartbeat.h"
#include "support/Util.h"
#include "support/uLogFile.h"
#include "worker/uBulkSMSThread.h"

namespace {

// Workers get the unit's stop time-out less this margin to reach a point where they may stop;
// the process then ends in time on its own.
constexpr std::chrono::seconds kStopMargin{15};
constexpr std::chrono::seconds kStopWaitLimit =
    std::chrono::seconds(kUnitStopTimeoutSec) - kStopMargin;
// While it waits, the service asks for this much more time at every step.
constexpr std::chrono::seconds kStopWaitStep{5};

}  // namespace

TsvcBrovaCSVSender::TsvcBrovaCSVSender(std::string ExePath, TClock Clock)
    : ExePath(std::move(ExePath)), Clock(std::move(Clock)) {}

void TsvcBrovaCSVSender::ServiceStart(TEventLoop& Loop) {
    // A stop of an earlier start in this process no longer holds for the workers to come.
    RequestBulkThreadsStop(false);
    // Workers ask; the service thread reports, once it is back in its loop.
    SetFiguresChangedHook([&Loop] { Loop.PostReport(); });
    const std::string StateDirectory = ServiceStateDirectory(ExePath);
    try {
        DtaMdlBulkSMS = std::make_unique<TDtaMdlBulkSMS>(
            Loop, Clock, ExePath,
            [StateDirectory](const IXMLBulkCSVSenderType& Config) {
                return ::CheckConfiguration(Config, StateDirectory);
            },
            MetricsFile);
    } catch (...) {
        // A service that did not start reports nothing, and its loop may go.
        SetFiguresChangedHook({});
        throw;
    }
}

void TsvcBrovaCSVSender::ServiceStop() {
    // A stopping service reports no figures.
    SetFiguresChangedHook({});
    DtaMdlBulkSMS.reset();
    LetWorkersStop();
    if (MetricsFile.empty()) return;
    try {
        WriteMetricsFile(MetricsFile, CurrentFigures());
    } catch (const std::exception& E) {
        WriteToLog("Unable to write the metrics file [" + MetricsFile + "] : " + E.what(),
                   ProcessLogFileName(ExePath), kProcessLogMaxSizeKB, true, true,
                   Clock ? Clock() : Now());
    }
}

void TsvcBrovaCSVSender::LetWorkersStop() {
    if (RunningBulkThreads() == 0) return;
    const int StoppedBefore = StoppedBulkThreads();
    RequestBulkThreadsStop();
    const auto Deadline = std::chrono::steady_clock::now() + kStopWaitLimit;
    // A watchdog that pings more often than the step needs beats that often too.
    const std::chrono::milliseconds Period = ServiceThreadBeatPeriod();
    const std::chrono::milliseconds Step =
        Period.count() > 0 ? std::min<std::chrono::milliseconds>(Period, kStopWaitStep)
                           : std::chrono::milliseconds(kStopWaitStep);
    while (!WaitForBulkThreads(Step) && std::chrono::steady_clock::now() < Deadline) {
        // Waiting for workers is the service thread's progress now.
        ServiceThreadBeat();
        if (ExtendStopTimeout) ExtendStopTimeout(kStopWaitStep * 3);
    }
    // Still running at the deadline, a worker is cut off with the process: its journal stays too.
    const int Left = StoppedBulkThreads() - StoppedBefore + RunningBulkThreads();
    if (Left > 0)
        WriteToLog("Stopped with " + std::to_string(Left) + (Left == 1 ? " file" : " files") +
                       " left to resume.",
                   ProcessLogFileName(ExePath), kProcessLogMaxSizeKB, true, true,
                   Clock ? Clock() : Now());
}

void TsvcBrovaCSVSender::ReleaseAtProcessEnd() {
    SetFiguresChangedHook({});
    DtaMdlBulkSMS.reset();
}

std::string TsvcBrovaCSVSender::StatusFigures() const {
    return StatusFiguresText(CurrentFigures());
}

TServiceDefinition TsvcBrovaCSVSender::Definition(const std::string& User) const {
    return {kServiceName, kServiceDisplayName, ExePath, User, kServiceStateDirectory};
}

std::vector<std::string> TsvcBrovaCSVSender::CheckConfiguration() const {
    return CheckConfigurationFile(ExePath);
}

namespace {

// The switch Arg names in upper case, or "" when it is none of ours.
std::string SwitchOf(const std::string& Arg) {
    if (Arg.size() < 2 || (Arg[0] != '/' && Arg[0] != '-')) return "";
    const std::string Switch = UpperCase(Arg.substr(1));
    for (const char* Known :
         {"INSTALL", "UNINSTALL", "SILENT", "CONSOLE", "CHECK", "ONLINE", "VALIDATE", "USER"})
        if (Switch == Known) return Switch;
    return "";
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& Args) {
    TCommandLine Result;
    for (size_t I = 0; I < Args.size(); ++I) {
        const std::string Switch = SwitchOf(Args[I]);
        if (Switch == "INSTALL")
            Result.Install = true;
        else if (Switch == "UNINSTALL")
            Result.Uninstall = true;
        else if (Switch == "SILENT")
            Result.Silent = true;
        else if (Switch == "CONSOLE")
            Result.Console = true;
        else if (Switch == "CHECK")
            Result.Check = true;
        else if (Switch == "ONLINE")
            Result.Online = true;
        else if (Switch == "USER") {
            Result.UserMissing = I + 1 >= Args.size();
            if (!Result.UserMissing) Result.User = Args[++I];
        } else if (Switch == "VALIDATE") {
            Result.Validate = true;
            if (I + 1 < Args.size()) Result.ValidateFile = Args[++I];
            if (I + 1 < Args.size() && SwitchOf(Args[I + 1]).empty())
                Result.ValidateProtocol = Args[++I];
        }
    }
    return Result;
}

// The service thread of platform/ServiceHost.h, the same for every service manager: each
// platform's Report() tells its own manager the states as notify-protocol lines.
#include <exception>
#include <string>

#include "platform/ServiceHost.h"
#include "platform/SysLog.h"

namespace {

std::string StateText(TLoopState State) {
    switch (State) {
        case TLoopState::PausePending:
            return "STATUS=Pause pending";
        case TLoopState::Paused:
            return "STATUS=Paused";
        case TLoopState::ContinuePending:
            return "STATUS=Continue pending";
        case TLoopState::Running:
            return "STATUS=Running";
    }
    return "STATUS=Running";
}

}  // namespace

TServiceHost::TServiceHost(std::string ServiceName, std::string ExeFileName,
                           TServiceNotifier Notifier, std::chrono::microseconds WatchdogInterval)
    : ServiceName(std::move(ServiceName)),
      ExeFileName(std::move(ExeFileName)),
      Notifier(std::move(Notifier)),
      WatchdogInterval(WatchdogInterval) {}

void TServiceHost::Report(const std::string& State) {
    const size_t Status = State.find("STATUS=");
    if (Status != std::string::npos) {
        const size_t End = State.find('\n', Status);
        LastStatus = State.substr(Status, End == std::string::npos ? End : End - Status);
    }
    try {
        Notifier.Notify(State);
    } catch (const std::exception& E) {
        WriteSystemLogError(ServiceName, E.what());
    }
}

std::string TServiceHost::RunningText(const TServiceHandlers& Handlers) const {
    const std::string Figures = Handlers.Figures ? Handlers.Figures() : std::string();
    return Figures.empty() ? "STATUS=Running" : "STATUS=Running; " + Figures;
}

int TServiceHost::ServiceThread(const TServiceHandlers& Handlers) {
    EventLoop.OnStateChange = [this, &Handlers](TLoopState State) {
        Report(State == TLoopState::Running ? RunningText(Handlers) : StateText(State));
    };
    EventLoop.OnReport = [this, &Handlers] {
        // A paused or stopping service keeps its state text; the same figures go once.
        if (!Ready || EventLoop.Paused()) return;
        const std::string Text = RunningText(Handlers);
        if (Text != LastStatus) Report(Text);
    };
    EventLoop.OnHandlerError = [this](const std::string& Message) {
        WriteSystemLogError(ExeFileName, Message);
    };

    Report("STATUS=Start pending");
    std::string StartError;
    try {
        if (Handlers.Start) Handlers.Start(EventLoop);
    } catch (const std::exception& E) {
        StartError = E.what();
    } catch (...) {
        StartError = "Unknown error";
    }
    if (!StartError.empty()) {
        WriteSystemLogError(ServiceName, "Service failed on start: " + StartError);
        Report("STATUS=Stopped");
        return 1;
    }
    Report("READY=1\n" + RunningText(Handlers));
    Ready = true;

    EndRequest = EventLoop.Run();

    Ready = false;
    Report("STOPPING=1\nSTATUS=Stop pending");
    // A shutdown ends the loop without the stop handler; the process end cleans up.
    if (EndRequest == TControlRequest::Stop && Handlers.Stop) {
        try {
            Handlers.Stop();
        } catch (const std::exception& E) {
            WriteSystemLogError(ServiceName, E.what());
        }
    }
    Report("STATUS=Stopped");
    return 0;
}

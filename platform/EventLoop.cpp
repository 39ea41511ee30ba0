#include "platform/EventLoop.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <exception>
#include <stdexcept>

#include "platform/Heartbeat.h"

namespace {

using TSteady = std::chrono::steady_clock;

}  // namespace

// ---- TTimer ----

TTimer::TTimer(TEventLoop& Loop) : Loop(Loop) { Loop.Register(this); }

TTimer::~TTimer() { Loop.Unregister(this); }

void TTimer::SetInterval(uint32_t Milliseconds) {
    if (Milliseconds == IntervalMs) return;
    IntervalMs = Milliseconds;
    Restart();
}

void TTimer::Arm() {
    if (IsArmed) return;
    IsArmed = true;
    Restart();
}

void TTimer::Disarm() { IsArmed = false; }

bool TTimer::Due(TClockPoint At) const {
    return IsArmed && IntervalMs != 0 && !Running && Deadline <= At;
}

void TTimer::Restart() { Deadline = TSteady::now() + std::chrono::milliseconds(IntervalMs); }

// ---- TEventLoop ----

void TEventLoop::Post(TControlRequest Request) {
    // A full queue already holds thousands of requests; dropping one more loses nothing.
    Write(Request);
}

void TEventLoop::PostReport() {
    if (ReportPending.exchange(true)) return;
    // Not queued: the next call tries again.
    if (!Write(TControlRequest::Report)) ReportPending = false;
}

void TEventLoop::Register(TTimer* Timer) { Timers.push_back(Timer); }

void TEventLoop::Unregister(TTimer* Timer) {
    Timers.erase(std::remove(Timers.begin(), Timers.end(), Timer), Timers.end());
}

void TEventLoop::Enqueue(TControlRequest Request) {
    if (Request == TControlRequest::Stop || Request == TControlRequest::Shutdown) StopFlag = true;
    Queue.push_back(Request);
}

void TEventLoop::WaitForRequest(TClockPoint Until) {
    // A watched service thread wakes up in time to beat; callers look again after any wake.
    ServiceThreadBeat();
    const auto BeatPeriod = ServiceThreadBeatPeriod();
    if (BeatPeriod.count() > 0) Until = std::min(Until, TSteady::now() + BeatPeriod);
    int TimeoutMs = -1;
    if (Until != TClockPoint::max()) {
        const auto Left = Until - TSteady::now();
        if (Left <= TSteady::duration::zero()) return;
        // Rounded up: waking a little early would only spin until the deadline.
        const auto Ms = std::chrono::ceil<std::chrono::milliseconds>(Left).count();
        TimeoutMs = static_cast<int>(std::min<int64_t>(Ms, INT_MAX));
    }
    WaitForPost(TimeoutMs);
    ServiceThreadBeat();
}

void TEventLoop::Notify(TLoopState State) {
    if (OnStateChange) OnStateChange(State);
}

bool TEventLoop::HandleOneRequest() {
    if (Queue.empty()) return false;
    const TControlRequest Request = Queue.front();
    Queue.pop_front();
    if (Request == TControlRequest::Report) {
        // Cleared first: what changes while the report runs asks for the next one.
        ReportPending = false;
        if (OnReport) OnReport();
    } else if (Request == TControlRequest::Pause && !IsPaused) {
        Notify(TLoopState::PausePending);
        IsPaused = true;
        Notify(TLoopState::Paused);
    } else if (Request == TControlRequest::Continue && IsPaused) {
        // A continue without a pause (the kernel resuming a stopped process) changes nothing.
        Notify(TLoopState::ContinuePending);
        IsPaused = false;
        Notify(TLoopState::Running);
    }
    return true;
}

bool TEventLoop::FireOneTimer(TClockPoint NotAfter) {
    TTimer* Next = nullptr;
    for (TTimer* Timer : Timers)
        if (Timer->Due(NotAfter) && (!Next || Timer->Deadline < Next->Deadline)) Next = Timer;
    if (!Next) return false;

    Next->Deadline = TSteady::now() + std::chrono::milliseconds(Next->IntervalMs);
    Next->Running = true;
    ++Next->Fired;
    std::string Error;
    try {
        if (Next->OnTimer) Next->OnTimer();
    } catch (const std::exception& E) {
        Error = E.what();
    } catch (...) {
        Error = "Unknown error in a timer handler";
    }
    // The handler may have destroyed its own timer.
    if (std::find(Timers.begin(), Timers.end(), Next) != Timers.end()) Next->Running = false;
    if (!Error.empty() && OnHandlerError) OnHandlerError(Error);
    return true;
}

TEventLoop::TClockPoint TEventLoop::NextDeadline() const {
    TClockPoint Next = TClockPoint::max();
    for (const TTimer* Timer : Timers)
        if (Timer->IsArmed && Timer->IntervalMs != 0 && !Timer->Running)
            Next = std::min(Next, Timer->Deadline);
    return Next;
}

TControlRequest TEventLoop::Run() {
    for (;;) {
        Drain();
        if (!Queue.empty()) {
            const TControlRequest Request = Queue.front();
            if (Request == TControlRequest::Stop || Request == TControlRequest::Shutdown)
                return Request;
            HandleOneRequest();
            continue;
        }
        if (!IsPaused && FireOneTimer(TSteady::now())) continue;
        WaitForRequest(IsPaused ? TClockPoint::max() : NextDeadline());
    }
}

bool TEventLoop::ProcessQueued() {
    // Only what is due now: a short-interval timer re-armed meanwhile waits for the loop.
    const TClockPoint Start = TSteady::now();
    for (;;) {
        Drain();
        if (StopFlag) return false;
        if (HandleOneRequest()) continue;
        if (IsPaused) {
            WaitForRequest(TClockPoint::max());
            continue;
        }
        if (FireOneTimer(Start)) continue;
        return true;
    }
}

bool TEventLoop::StopRequested() {
    Drain();
    return StopFlag;
}

bool TEventLoop::WaitFor(std::chrono::milliseconds Duration) {
    const TClockPoint Until = TSteady::now() + Duration;
    for (;;) {
        Drain();
        if (StopFlag) return false;
        if (TSteady::now() >= Until) return true;
        WaitForRequest(Until);
    }
}

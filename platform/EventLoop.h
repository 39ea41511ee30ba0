// The service thread's event loop: timers with an interval and an armed flag, control requests
// (stop, pause, continue, shutdown) posted from any thread or from a signal handler, and reports
// asked for by any thread. Everything except Post() and PostReport() is called on the service
// thread only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Report is posted only through PostReport().
enum class TControlRequest : uint8_t {
    Stop = 1,
    Pause = 2,
    Continue = 3,
    Shutdown = 4,
    Report = 5
};

// The states a pause or continue request passes through, as the service reports them.
enum class TLoopState { PausePending, Paused, ContinuePending, Running };

class TEventLoop;

// Fires its OnTimer on the loop's thread while armed with a non-zero interval. The period
// counts from the moment the timer was last armed, given a new interval, or fired. A timer
// never fires while its own OnTimer is still running, also not from a nested ProcessQueued().
class TTimer {
  public:
    explicit TTimer(TEventLoop& Loop);
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    std::function<void()> OnTimer;

    // A new interval restarts the period; 0 keeps the timer from firing.
    void SetInterval(uint32_t Milliseconds);
    uint32_t Interval() const { return IntervalMs; }
    // Arming a disarmed timer starts a full period; arming an armed one changes nothing.
    void Arm();
    void Disarm();
    bool Armed() const { return IsArmed; }
    // How often the loop has fired this timer (direct calls of the handler not counted).
    uint64_t FireCount() const { return Fired; }

  private:
    friend class TEventLoop;
    using TClockPoint = std::chrono::steady_clock::time_point;

    bool Due(TClockPoint At) const;
    void Restart();

    TEventLoop& Loop;
    uint32_t IntervalMs = 0;
    bool IsArmed = false;
    bool Running = false;
    uint64_t Fired = 0;
    TClockPoint Deadline{};
};

class TEventLoop {
  public:
    TEventLoop();
    ~TEventLoop();
    TEventLoop(const TEventLoop&) = delete;
    TEventLoop& operator=(const TEventLoop&) = delete;

    // Queues a control request. Any thread; async-signal-safe.
    void Post(TControlRequest Request);
    // Asks for one run of OnReport on the loop's thread, taken like a control request (also
    // while paused, and from ProcessQueued). Calls that come before it ran make one report.
    // Any thread; never blocks.
    void PostReport();

    // Runs timers and control requests one at a time, control requests first and in arrival
    // order, until it reaches a stop or shutdown request, and returns that request. As it runs
    // only between handler runs, a stop is carried out after the handler it arrived in.
    // While paused no timer fires.
    TControlRequest Run();

    // Runs the control requests and timer events already queued, then returns. Meant for a
    // handler that waits: a pause blocks here until continue. Returns false, at once and
    // without running anything more, when a stop or shutdown has been requested; the stop
    // itself is carried out by Run() once the outermost handler has returned.
    bool ProcessQueued();

    // True once a stop or shutdown request has arrived.
    bool StopRequested();

    // Waits the given time but returns early, with false, when a stop or shutdown request
    // arrives. Other requests stay queued for the loop. Runs nothing.
    bool WaitFor(std::chrono::milliseconds Duration);

    // Told of every pause and continue state that the loop passes through.
    std::function<void(TLoopState)> OnStateChange;
    // Told of an error that escaped a timer handler; the loop goes on.
    std::function<void(const std::string&)> OnHandlerError;
    // Runs for the reports PostReport asked for.
    std::function<void()> OnReport;

    bool Paused() const { return IsPaused; }

  private:
    friend class TTimer;
    using TClockPoint = std::chrono::steady_clock::time_point;

    void Register(TTimer* Timer);
    void Unregister(TTimer* Timer);
    // Moves every posted request into the queue, in arrival order.
    void Drain();
    // Waits for a posted request, at most until Until (forever when Until is max).
    void WaitForRequest(TClockPoint Until);
    // Waits for a posted request at most this long (forever when negative).
    void WaitForPost(int TimeoutMs);
    // Puts one posted request at the end of the queue.
    void Enqueue(TControlRequest Request);
    // Takes one queued request and acts on it. False when none was queued.
    bool HandleOneRequest();
    // Fires the armed timer that has been due longest, if any was due at NotAfter.
    bool FireOneTimer(TClockPoint NotAfter);
    TClockPoint NextDeadline() const;
    void Notify(TLoopState State);
    // Hands one request to the loop's thread; false when it cannot take more.
    bool Write(TControlRequest Request);

    // How posted requests reach the loop's thread and wake it (platform/EventLoopWakeUp).
    struct TWakeUp;
    std::unique_ptr<TWakeUp> WakeUp;
    std::vector<TTimer*> Timers;
    std::deque<TControlRequest> Queue;
    bool IsPaused = false;
    // A stop or shutdown is queued: nested waits end at once, Run() ends when it gets there.
    bool StopFlag = false;
    // A report is posted or queued and has not run yet.
    std::atomic<bool> ReportPending{false};
};

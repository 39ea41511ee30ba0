#include "platform/EventLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

// Posts a request from another thread once Ready() holds, as a signal handler would.
class TPoster {
  public:
    TPoster(TEventLoop& Loop, std::atomic<bool>& Ready, TControlRequest Request,
            std::chrono::milliseconds Delay = 0ms)
        : Thread([&Loop, &Ready, Request, Delay] {
              while (!Ready) std::this_thread::sleep_for(1ms);
              std::this_thread::sleep_for(Delay);
              Loop.Post(Request);
          }) {}
    ~TPoster() { Thread.join(); }

  private:
    std::thread Thread;
};

TEST(EventLoopTimers, FireOnlyWhileArmedWithNonZeroInterval) {
    TEventLoop Loop;
    TTimer Zero(Loop), Disarmed(Loop), Ticker(Loop);
    Zero.SetInterval(0);
    Zero.Arm();
    Disarmed.SetInterval(1);
    Ticker.SetInterval(2);
    Ticker.Arm();
    int Ticks = 0;
    Zero.OnTimer = Disarmed.OnTimer = [] { FAIL() << "this timer must not fire"; };
    Ticker.OnTimer = [&] {
        if (++Ticks == 10) Loop.Post(TControlRequest::Stop);
    };
    EXPECT_EQ(Loop.Run(), TControlRequest::Stop);
    EXPECT_EQ(Ticks, 10);
    EXPECT_EQ(Ticker.FireCount(), 10u);
    EXPECT_EQ(Zero.FireCount(), 0u);
    EXPECT_EQ(Disarmed.FireCount(), 0u);
    EXPECT_TRUE(Zero.Armed());
}

TEST(EventLoopTimers, SelfDisarmingHandlerNeverOverlapsAndWaitsAFullIntervalAfterItsRun) {
    TEventLoop Loop;
    TTimer Timer(Loop);
    constexpr auto kInterval = 15ms;
    Timer.SetInterval(kInterval.count());
    Timer.Arm();
    std::vector<TSteady::time_point> Starts, Ends;
    int Depth = 0, MaxDepth = 0;
    Timer.OnTimer = [&] {
        Timer.Disarm();
        MaxDepth = std::max(MaxDepth, ++Depth);
        Starts.push_back(TSteady::now());
        // Longer than the interval, letting queued events run meanwhile.
        const auto Until = TSteady::now() + 3 * kInterval;
        while (TSteady::now() < Until) {
            Loop.WaitFor(2ms);
            Loop.ProcessQueued();
        }
        Ends.push_back(TSteady::now());
        --Depth;
        if (Ends.size() == 4) Loop.Post(TControlRequest::Stop);
        Timer.Arm();
    };
    Loop.Run();
    ASSERT_EQ(Starts.size(), 4u);
    EXPECT_EQ(MaxDepth, 1);
    for (size_t I = 1; I < Starts.size(); ++I) EXPECT_GE(Starts[I] - Ends[I - 1], kInterval);
}

TEST(EventLoopTimers, WaitingHandlerLetsOtherTimersRunNestedButNeverItself) {
    TEventLoop Loop;
    TTimer Waiting(Loop), Other(Loop);
    Waiting.SetInterval(1);
    Other.SetInterval(3);
    Waiting.Arm();
    Other.Arm();
    int WaitingRuns = 0, OtherRuns = 0, OtherRunsNested = 0;
    bool InWaiting = false;
    Waiting.OnTimer = [&] {
        Waiting.Disarm();
        ++WaitingRuns;
        InWaiting = true;
        while (OtherRunsNested < 3) {
            Loop.WaitFor(1ms);
            ASSERT_TRUE(Loop.ProcessQueued());
        }
        InWaiting = false;
        Loop.Post(TControlRequest::Stop);
    };
    Other.OnTimer = [&] {
        Other.Disarm();
        ++OtherRuns;
        if (InWaiting) ++OtherRunsNested;
        Other.Arm();
    };
    Loop.Run();
    EXPECT_EQ(WaitingRuns, 1);
    EXPECT_EQ(OtherRunsNested, 3);
    EXPECT_GE(OtherRuns, 3);
}

TEST(EventLoopTimers, HandlerErrorIsReportedAndTheLoopGoesOn) {
    TEventLoop Loop;
    TTimer Timer(Loop);
    Timer.SetInterval(1);
    Timer.Arm();
    std::vector<std::string> Errors;
    Loop.OnHandlerError = [&](const std::string& Message) { Errors.push_back(Message); };
    int Runs = 0;
    Timer.OnTimer = [&] {
        if (++Runs == 3) Loop.Post(TControlRequest::Stop);
        throw std::runtime_error("boom " + std::to_string(Runs));
    };
    Loop.Run();
    EXPECT_EQ(Errors, (std::vector<std::string>{"boom 1", "boom 2", "boom 3"}));
    // The timer stays as the handler left it: still armed.
    EXPECT_TRUE(Timer.Armed());
}

TEST(EventLoopStop, StopDuringAHandlerIsCarriedOutAfterIt) {
    TEventLoop Loop;
    TTimer Handler(Loop), Other(Loop);
    Handler.SetInterval(1);
    Handler.Arm();
    Other.SetInterval(1);
    Other.OnTimer = [] { ADD_FAILURE() << "nothing runs once a stop is pending"; };
    bool Finished = false, ProcessQueuedResult = true, WaitResult = true;
    Handler.OnTimer = [&] {
        Handler.Disarm();
        Loop.Post(TControlRequest::Stop);
        EXPECT_TRUE(Loop.StopRequested());
        Other.Arm();
        std::this_thread::sleep_for(5ms);  // Other is due now
        WaitResult = Loop.WaitFor(std::chrono::hours(1));
        ProcessQueuedResult = Loop.ProcessQueued();
        Finished = true;
        Handler.Arm();
    };
    EXPECT_EQ(Loop.Run(), TControlRequest::Stop);
    EXPECT_TRUE(Finished);
    EXPECT_FALSE(WaitResult);
    EXPECT_FALSE(ProcessQueuedResult);
    EXPECT_EQ(Handler.FireCount(), 1u);
    EXPECT_EQ(Other.FireCount(), 0u);
}

TEST(EventLoopStop, StopFromAnotherThreadEndsAWaitEarly) {
    TEventLoop Loop;
    std::atomic<bool> Waiting{false};
    bool Result = true;
    {
        TPoster Poster(Loop, Waiting, TControlRequest::Stop, 20ms);
        Waiting = true;
        Result = Loop.WaitFor(std::chrono::hours(1));
    }
    EXPECT_FALSE(Result);
    EXPECT_TRUE(Loop.StopRequested());
}

TEST(EventLoopStop, WaitWithoutStopRunsItsFullTimeAndLeavesRequestsQueued) {
    TEventLoop Loop;
    Loop.Post(TControlRequest::Pause);
    const auto Before = TSteady::now();
    EXPECT_TRUE(Loop.WaitFor(10ms));
    EXPECT_GE(TSteady::now() - Before, 10ms);
    EXPECT_FALSE(Loop.Paused());
    EXPECT_FALSE(Loop.StopRequested());
}

TEST(EventLoopStop, ShutdownIsReturnedAsSuch) {
    TEventLoop Loop;
    Loop.Post(TControlRequest::Shutdown);
    Loop.Post(TControlRequest::Stop);
    EXPECT_EQ(Loop.Run(), TControlRequest::Shutdown);
}

TEST(EventLoopPause, NoTimerFiresWhilePausedAndRequestsAreHandledInArrivalOrder) {
    TEventLoop Loop;
    TTimer Timer(Loop);
    Timer.SetInterval(1);
    Timer.Arm();
    std::vector<TLoopState> States;
    std::vector<uint64_t> FiredAt;
    std::atomic<bool> Paused{false};
    Loop.OnStateChange = [&](TLoopState State) {
        States.push_back(State);
        FiredAt.push_back(Timer.FireCount());
        if (State == TLoopState::Paused) Paused = true;
    };
    Timer.OnTimer = [&] {
        if (Timer.FireCount() == 3) {
            // A continue with nothing paused changes nothing; then pause.
            Loop.Post(TControlRequest::Continue);
            Loop.Post(TControlRequest::Pause);
        }
        if (Timer.FireCount() == 6) Loop.Post(TControlRequest::Stop);
    };
    {
        // The timer would fire about 50 times in this while, were it not paused.
        TPoster Poster(Loop, Paused, TControlRequest::Continue, 50ms);
        EXPECT_EQ(Loop.Run(), TControlRequest::Stop);
    }
    EXPECT_EQ(States, (std::vector<TLoopState>{TLoopState::PausePending, TLoopState::Paused,
                                               TLoopState::ContinuePending, TLoopState::Running}));
    EXPECT_EQ(FiredAt, (std::vector<uint64_t>{3, 3, 3, 3}));
    EXPECT_EQ(Timer.FireCount(), 6u);
}

TEST(EventLoopReport, ManyAsksFromOtherThreadsRunOneReportEvenWhilePaused) {
    TEventLoop Loop;
    int Reports = 0;
    Loop.OnReport = [&] { ++Reports; };
    Loop.Post(TControlRequest::Pause);
    // Far more than the request pipe holds: asks coalesce instead of filling it.
    std::thread([&Loop] {
        for (int I = 0; I < 100000; ++I) Loop.PostReport();
    }).join();
    EXPECT_TRUE(Loop.WaitFor(1ms));
    EXPECT_EQ(Reports, 0) << "a wait runs nothing";
    Loop.Post(TControlRequest::Continue);
    EXPECT_TRUE(Loop.ProcessQueued());
    EXPECT_EQ(Reports, 1);
    // Once it ran, the next ask makes the next report.
    Loop.PostReport();
    Loop.Post(TControlRequest::Stop);
    EXPECT_EQ(Loop.Run(), TControlRequest::Stop);
    EXPECT_EQ(Reports, 2);
}

TEST(EventLoopPause, PauseInsideAWaitingHandlerBlocksUntilContinue) {
    TEventLoop Loop;
    TTimer Waiting(Loop), Other(Loop);
    Waiting.SetInterval(1);
    Waiting.Arm();
    Other.SetInterval(1);
    std::atomic<bool> Paused{false};
    bool Resumed = false;
    uint64_t OtherAtPause = 0;
    Loop.OnStateChange = [&](TLoopState State) {
        if (State == TLoopState::Paused) {
            OtherAtPause = Other.FireCount();
            Paused = true;
        }
        if (State == TLoopState::Running) Resumed = true;
    };
    Other.OnTimer = [&] { EXPECT_FALSE(Paused && !Resumed) << "ran while paused"; };
    Waiting.OnTimer = [&] {
        Waiting.Disarm();
        Other.Arm();
        Loop.Post(TControlRequest::Pause);
        EXPECT_TRUE(Loop.ProcessQueued());  // returns only after the continue
        EXPECT_TRUE(Resumed);
        Loop.Post(TControlRequest::Stop);
    };
    {
        TPoster Poster(Loop, Paused, TControlRequest::Continue, 30ms);
        Loop.Run();
    }
    EXPECT_TRUE(Resumed);
    EXPECT_EQ(OtherAtPause, 0u);
}

TEST(EventLoopPause, StopWhilePausedEndsTheLoop) {
    TEventLoop Loop;
    TTimer Timer(Loop);
    Timer.SetInterval(1);
    Timer.Arm();
    Timer.OnTimer = [&] { FAIL() << "paused before the first tick"; };
    std::atomic<bool> Paused{false};
    Loop.OnStateChange = [&](TLoopState State) {
        if (State == TLoopState::Paused) Paused = true;
    };
    Loop.Post(TControlRequest::Pause);
    TPoster Poster(Loop, Paused, TControlRequest::Stop);
    EXPECT_EQ(Loop.Run(), TControlRequest::Stop);
    EXPECT_TRUE(Loop.Paused());
}

}  // namespace

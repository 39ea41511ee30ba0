// The service thread's sign of life, which the watchdog reads before each ping. Only the
// thread that bound a heartbeat to itself (the service thread) beats; the same calls on any
// other thread do nothing, so code that workers share with it (the gateway client) may call
// them freely.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

// The longest silence accepted inside a live wait: the gateway client's transfer callback
// comes about once a second while a transfer idles.
constexpr std::chrono::seconds kLiveWaitSilence{3};

class THeartbeat {
  public:
    // BeatPeriod: how long the bound thread may block in its event loop before it wakes up to
    // beat; zero when nobody watches.
    explicit THeartbeat(std::chrono::milliseconds BeatPeriod = {});

    // True when the bound thread beat within Fresh, or within kLiveWaitSilence while it is
    // inside a live wait (TServiceThreadWait). False before the first beat. Any thread.
    bool Alive(std::chrono::milliseconds Fresh) const;

  private:
    friend class TServiceThreadBinding;
    friend class TServiceThreadWait;
    friend void ServiceThreadBeat() noexcept;
    friend std::chrono::milliseconds ServiceThreadBeatPeriod() noexcept;

    const std::chrono::milliseconds BeatPeriod;
    std::atomic<int64_t> LastBeatNs{0};  // steady clock; 0: never
    std::atomic<int> Waits{0};
};

// Binds a heartbeat to the calling thread for the life of this object, and beats once.
class TServiceThreadBinding {
  public:
    explicit TServiceThreadBinding(THeartbeat& Heartbeat);
    ~TServiceThreadBinding();
    TServiceThreadBinding(const TServiceThreadBinding&) = delete;
    TServiceThreadBinding& operator=(const TServiceThreadBinding&) = delete;
};

// The calling thread made progress. Any thread; counts only on the bound one.
void ServiceThreadBeat() noexcept;

// How long the calling thread may block before it should beat again; zero when it has no
// heartbeat or nobody watches. Any thread.
std::chrono::milliseconds ServiceThreadBeatPeriod() noexcept;

// Marks, for its lifetime, a blocking call on the service thread that is bounded by
// time-outs of its own and beats while it is alive (a gateway call, whose transfer callback
// beats). Nestable; nothing on other threads.
class TServiceThreadWait {
  public:
    TServiceThreadWait() noexcept;
    ~TServiceThreadWait();
    TServiceThreadWait(const TServiceThreadWait&) = delete;
    TServiceThreadWait& operator=(const TServiceThreadWait&) = delete;

  private:
    THeartbeat* Heartbeat;
};

#include "platform/Heartbeat.h"

namespace {

thread_local THeartbeat* tBound = nullptr;

int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

THeartbeat::THeartbeat(std::chrono::milliseconds BeatPeriod) : BeatPeriod(BeatPeriod) {}

bool THeartbeat::Alive(std::chrono::milliseconds Fresh) const {
    const int64_t Last = LastBeatNs.load();
    if (Last == 0) return false;
    const std::chrono::nanoseconds Silence{SteadyNowNs() - Last};
    if (Silence < Fresh) return true;
    return Waits.load() > 0 && Silence < kLiveWaitSilence;
}

TServiceThreadBinding::TServiceThreadBinding(THeartbeat& Heartbeat) {
    tBound = &Heartbeat;
    ServiceThreadBeat();
}

TServiceThreadBinding::~TServiceThreadBinding() { tBound = nullptr; }

void ServiceThreadBeat() noexcept {
    if (tBound) tBound->LastBeatNs.store(SteadyNowNs());
}

std::chrono::milliseconds ServiceThreadBeatPeriod() noexcept {
    return tBound ? tBound->BeatPeriod : std::chrono::milliseconds{};
}

TServiceThreadWait::TServiceThreadWait() noexcept : Heartbeat(tBound) {
    if (!Heartbeat) return;
    // The wait's silence counts from its start, not from whatever came before it.
    ServiceThreadBeat();
    ++Heartbeat->Waits;
}

TServiceThreadWait::~TServiceThreadWait() {
    if (!Heartbeat) return;
    --Heartbeat->Waits;
    ServiceThreadBeat();
}

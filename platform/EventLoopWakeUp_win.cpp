// Posted requests on Windows: a short list under a lock and an event that wakes the loop.
// Console and service control handlers run on threads of their own, never inside a signal, so
// a lock is safe to take where Linux needs its pipe.
#include <windows.h>

#include <mutex>
#include <stdexcept>
#include <vector>

#include "platform/EventLoop.h"

namespace {

// As many as a Linux pipe holds: more only repeat requests already waiting.
constexpr size_t kMaxPosted = 65536;

}  // namespace

struct TEventLoop::TWakeUp {
    std::mutex Lock;
    std::vector<TControlRequest> Posted;
    // Manual reset: set while Posted holds anything.
    HANDLE Event = nullptr;
};

TEventLoop::TEventLoop() : WakeUp(new TWakeUp) {
    WakeUp->Event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!WakeUp->Event) throw std::runtime_error("Cannot create the event loop's request event");
}

TEventLoop::~TEventLoop() { CloseHandle(WakeUp->Event); }

bool TEventLoop::Write(TControlRequest Request) {
    std::lock_guard<std::mutex> Guard(WakeUp->Lock);
    if (WakeUp->Posted.size() >= kMaxPosted) return false;
    WakeUp->Posted.push_back(Request);
    SetEvent(WakeUp->Event);
    return true;
}

void TEventLoop::Drain() {
    std::vector<TControlRequest> Taken;
    {
        std::lock_guard<std::mutex> Guard(WakeUp->Lock);
        Taken.swap(WakeUp->Posted);
        ResetEvent(WakeUp->Event);
    }
    for (TControlRequest Request : Taken) Enqueue(Request);
}

void TEventLoop::WaitForPost(int TimeoutMs) {
    WaitForSingleObject(WakeUp->Event, TimeoutMs < 0 ? INFINITE : static_cast<DWORD>(TimeoutMs));
}

#include "Wake.h"

#include "win32.h"

namespace zem {

WakeEvent::WakeEvent()
    : native_(InjectedFailure()
                  ? 0
                  : reinterpret_cast<intptr_t>(CreateEventA(nullptr, FALSE, FALSE, nullptr))) {}

WakeEvent::~WakeEvent() {
    if (native_) CloseHandle(reinterpret_cast<HANDLE>(native_));
}

bool WakeEvent::Valid() const {
    return native_ != 0;
}

void WakeEvent::Signal() {
    if (native_) SetEvent(reinterpret_cast<HANDLE>(native_));
}

void WakeEvent::Clear() {
    if (native_) ResetEvent(reinterpret_cast<HANDLE>(native_));
}

bool WakeEvent::Wait(uint32_t ms) {
    if (!native_) return false;
    return WaitForSingleObject(reinterpret_cast<HANDLE>(native_), ms) == WAIT_OBJECT_0;
}

WakeLatch::WakeLatch()
    : native_(reinterpret_cast<intptr_t>(CreateEventA(nullptr, TRUE, FALSE, nullptr))) {}

WakeLatch::~WakeLatch() {
    if (native_) CloseHandle(reinterpret_cast<HANDLE>(native_));
}

bool WakeLatch::Valid() const {
    return native_ != 0;
}

void WakeLatch::Raise() {
    raised_.store(true, std::memory_order_release);
    // Manual reset: no wait takes it.
    if (native_) SetEvent(reinterpret_cast<HANDLE>(native_));
}

intptr_t WakeLatch::Native() const {
    return native_ ? native_ : kNoWake;
}

} // namespace zem

#pragma once
#include <cstdint>
#include <utility>

class TChannel;

namespace zem {

// Time source of the protocol's waits. Production uses the system's millisecond tick counter and
// real sleeps; tests inject a clock whose sleeps only advance the counter.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t NowMs() = 0; // wraps as an unsigned 32-bit value
    virtual void SleepMs(uint32_t ms) = 0;
    // The protocol's waits on its channel: at most ms, ended early by what they wait for (received
    // bytes, room to write), a lost link or an abort made after wakeToken was taken
    // (TChannel::WakeToken). A clock without real time steps by pollMs.
    virtual void WaitRx(TChannel&, uint32_t /*ms*/, uint32_t pollMs, uint32_t /*wakeToken*/) {
        SleepMs(pollMs);
    }
    virtual void WaitTxRoom(TChannel&, uint32_t /*ms*/, uint32_t pollMs, uint32_t /*wakeToken*/) {
        SleepMs(pollMs);
    }
};

// The process-wide real clock.
Clock& SystemClock();

// Work that a thread's long protocol waits must let run every so often: a window's pending
// messages, so that it repaints and a close ends a wait at once. While a ScopedWaitPump lives,
// the protocol's waits on its thread are cut to end when the pump is due and run it then; the
// status callbacks are not affected.
class WaitPump {
public:
    static constexpr uint32_t kEveryMs = 40;
    // How long a wait may last before the pump is due (1 at least, so that a wait still waits).
    uint32_t MsUntilDue(uint32_t nowMs) const;
    void RunIfDue(uint32_t nowMs);

protected:
    explicit WaitPump(void (*pump)(void*), void* context);
    ~WaitPump() = default;

private:
    void (*pump_)(void*);
    void* context_;
    uint32_t last_ = 0;
    bool ran_ = false;
};

// The pump of this thread, or null. Install returns the one it replaces.
WaitPump* CurrentWaitPump();
WaitPump* Install(WaitPump* pump);

template <class F> class ScopedWaitPump : public WaitPump {
public:
    explicit ScopedWaitPump(F pump)
        : WaitPump([](void* f) { (*static_cast<F*>(f))(); }, &pump_), pump_(std::move(pump)),
          outer_(Install(this)) {}
    ~ScopedWaitPump() { Install(outer_); }
    ScopedWaitPump(const ScopedWaitPump&) = delete;
    ScopedWaitPump& operator=(const ScopedWaitPump&) = delete;

private:
    F pump_;
    WaitPump* outer_;
};

} // namespace zem

#pragma once
#include <cstdint>

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
    // bytes, room to write), a lost link or an abort. A clock without real time steps by pollMs.
    virtual void WaitRx(TChannel&, uint32_t /*ms*/, uint32_t pollMs) { SleepMs(pollMs); }
    virtual void WaitTxRoom(TChannel&, uint32_t /*ms*/, uint32_t pollMs) { SleepMs(pollMs); }
};

// The process-wide real clock.
Clock& SystemClock();

} // namespace zem

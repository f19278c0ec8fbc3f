#pragma once
#include <cstdint>

namespace zem {

// Time source of the protocol's waits. Production uses the system's millisecond tick counter and
// real sleeps; tests inject a clock whose sleeps only advance the counter.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t NowMs() = 0; // wraps as an unsigned 32-bit value
    virtual void SleepMs(uint32_t ms) = 0;
};

// The process-wide real clock.
Clock& SystemClock();

} // namespace zem

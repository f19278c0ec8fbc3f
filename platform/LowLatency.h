#pragma once
#include <cstdint>

namespace zem {

// The serial driver's flags word of an open port (Linux: TIOCGSERIAL / TIOCSSERIAL).
class SerialDriverFlags {
public:
    virtual ~SerialDriverFlags() = default;
    virtual bool Get(uint32_t& flags) = 0;
    virtual bool Set(uint32_t flags) = 0;
};

// ASYNC_LOW_LATENCY: the driver hands received bytes on at once; USB adapters otherwise hold them
// for their latency timer (16 ms on FTDI chips), and every record waits for a one-byte answer.
constexpr uint32_t kAsyncLowLatency = 1u << 13;

// Asks for low latency. True when this changed the flag, so that ReleaseLowLatency must undo it;
// a driver that refuses, or a port already set so, is left as it is.
inline bool RequestLowLatency(SerialDriverFlags& driver) {
    uint32_t flags = 0;
    if (!driver.Get(flags) || (flags & kAsyncLowLatency)) return false;
    return driver.Set(flags | kAsyncLowLatency);
}

// Clears the flag again, leaving every other flag as the driver has it now.
inline void ReleaseLowLatency(SerialDriverFlags& driver) {
    uint32_t flags = 0;
    if (driver.Get(flags) && (flags & kAsyncLowLatency)) driver.Set(flags & ~kAsyncLowLatency);
}

} // namespace zem

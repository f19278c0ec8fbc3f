#pragma once
#include <cstdint>

namespace zem {

// Milliseconds from a monotonic clock, wrapping as an unsigned 32-bit value (as GetTickCount).
uint32_t TickCountMs();
void SleepMs(uint32_t ms);

} // namespace zem

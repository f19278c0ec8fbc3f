#include "Tick.h"

#include "win32.h"

namespace zem {

uint32_t TickCountMs() { return static_cast<uint32_t>(GetTickCount()); }
void SleepMs(uint32_t ms) { Sleep(ms); }

} // namespace zem

#include "Clock.h"

#include "Tick.h"

namespace zem {

namespace {
class TickClock final : public Clock {
public:
    uint32_t NowMs() override { return TickCountMs(); }
    void SleepMs(uint32_t ms) override { zem::SleepMs(ms); }
};
} // namespace

Clock& SystemClock() {
    static TickClock clock;
    return clock;
}

} // namespace zem

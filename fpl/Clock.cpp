#include "Clock.h"

#include "TChannel.h"
#include "Tick.h"

namespace zem {

namespace {
class TickClock final : public Clock {
public:
    uint32_t NowMs() override { return TickCountMs(); }
    void SleepMs(uint32_t ms) override { zem::SleepMs(ms); }
    void WaitRx(TChannel& ch, uint32_t ms, uint32_t) override { ch.WaitRx(ms); }
    void WaitTxRoom(TChannel& ch, uint32_t ms, uint32_t) override { ch.WaitTxRoom(ms); }
};
} // namespace

Clock& SystemClock() {
    static TickClock clock;
    return clock;
}

} // namespace zem

#include "Clock.h"

#include "TChannel.h"
#include "Tick.h"

namespace zem {

namespace {
class TickClock final : public Clock {
public:
    uint32_t NowMs() override { return TickCountMs(); }
    void SleepMs(uint32_t ms) override { zem::SleepMs(ms); }
    void WaitRx(TChannel& ch, uint32_t ms, uint32_t, uint32_t token) override {
        ch.WaitRx(ms, token);
    }
    void WaitTxRoom(TChannel& ch, uint32_t ms, uint32_t, uint32_t token) override {
        ch.WaitTxRoom(ms, token);
    }
};
} // namespace

Clock& SystemClock() {
    static TickClock clock;
    return clock;
}

namespace {
thread_local WaitPump* tPump = nullptr;
} // namespace

WaitPump::WaitPump(void (*pump)(void*), void* context) : pump_(pump), context_(context) {}

uint32_t WaitPump::MsUntilDue(uint32_t nowMs) const {
    if (!ran_) return 1;
    uint32_t since = nowMs - last_;
    return since >= kEveryMs ? 1 : kEveryMs - since;
}

void WaitPump::RunIfDue(uint32_t nowMs) {
    // The first wait of a run only starts the count: the callbacks ran the pump just before.
    if (!ran_) {
        ran_ = true;
        last_ = nowMs;
        return;
    }
    if (nowMs - last_ < kEveryMs) return;
    last_ = nowMs;
    pump_(context_);
}

WaitPump* CurrentWaitPump() {
    return tPump;
}

WaitPump* Install(WaitPump* pump) {
    WaitPump* outer = tPump;
    tPump = pump;
    return outer;
}

} // namespace zem

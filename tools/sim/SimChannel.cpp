#include "SimChannel.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <system_error>

namespace zem::sim {

namespace {
bool NotAfter(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(b - a) >= 0;
}
} // namespace

void VirtualClock::SleepMs(uint32_t ms) {
    ++sleeps_;
    const uint32_t now = now_.load(std::memory_order_relaxed) + ms;
    now_.store(now, std::memory_order_release);
    if (channel_) channel_->Settle(now);
    if (onSleep) onSleep(now);
}

uint32_t JumpingClock::NowMs() {
    if (++readings_ == pauseAt_) now_ += pauseMs_;
    return now_;
}

void JumpingClock::Advance(uint32_t ms) {
    ++steps_;
    now_ += ms;
}

void JumpingClock::SleepMs(uint32_t ms) {
    Advance(ms);
    if (channel_) channel_->Pump();
}

void JumpingClock::WaitRx(TChannel& channel, uint32_t ms, uint32_t, uint32_t wakeToken) {
    if (channel_) channel_->Pump();
    // Woken since the token was taken (an abort): the wait ends before any time passes.
    if (channel.WakeToken() != wakeToken) return;
    if (channel.RxCount() > 0 || channel.IsLost()) return;
    uint32_t step = ms;
    uint32_t due = 0;
    if (channel_ && channel_->NextDue(due)) {
        const uint32_t until = due - now_; // a due time already past would have been delivered
        if (static_cast<int32_t>(until) > 0 && until < step) step = until;
    }
    Advance(step ? step : 1);
    if (channel_) channel_->Pump();
}

void JumpingClock::WaitTxRoom(TChannel& channel, uint32_t ms, uint32_t, uint32_t wakeToken) {
    if (channel_) channel_->Pump();
    if (channel.WakeToken() != wakeToken) return;
    if (channel.TxFree() > 0 || channel.IsLost()) return;
    // Only a stalled loader leaves the ring full: nothing changes until the wait is over.
    Advance(ms ? ms : 1);
    if (channel_) channel_->Pump();
}

TSimChannel::TSimChannel(std::vector<uint8_t> stream, SimOptions options, Clock* clock,
                         int32_t levelCode, const char* name, SimDriving driving)
    : TChannel(levelCode, name, 0), clock_(clock ? clock : &SystemClock()), driving_(driving),
      sim_(std::move(stream), std::move(options)) {
    inited = false;
    kind = kChannelSim;
    if (!Rings()) {
        Log(3, "TSimChannel - no rings");
        return;
    }
    // The defaults go straight to the setter, as on the other kinds.
    SetSpeed("115200");
    if (driving_ == SimDriving::CallerThread) {
        inited = true;
        return;
    }
    try {
        thread_ = std::thread(&TSimChannel::Service, this);
    } catch (const std::system_error&) {
        Log(3, "TSimChannel - can not start its thread");
        return;
    }
    inited = true;
}

TSimChannel::~TSimChannel() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    wake_.notify_all();
    idle_.notify_all();
    if (thread_.joinable()) thread_.join();
    inited = false;
}

int TSimChannel::SetSpeed(const char* text) {
    std::lock_guard<std::mutex> lock(simMutex_);
    std::string t = text ? text : "";
    speedTexts_.push_back(t);
    char* end = nullptr;
    long v = std::strtol(t.c_str(), &end, 10);
    if (t.empty() || *end != 0 || v <= 0 || t == refusedSpeed_) return -1;
    lineSpeed_.store(static_cast<uint32_t>(v), std::memory_order_release);
    return 0;
}

std::vector<std::string> TSimChannel::SpeedTexts() const {
    std::lock_guard<std::mutex> lock(simMutex_);
    return speedTexts_;
}

void TSimChannel::RefuseSpeed(const std::string& text) {
    std::lock_guard<std::mutex> lock(simMutex_);
    refusedSpeed_ = text;
}

void TSimChannel::LoseLinkAfter(uint64_t bytes, const char* cause) {
    std::lock_guard<std::mutex> lock(simMutex_);
    loseAfter_ = bytes;
    loseCause_ = cause ? cause : "";
}

void TSimChannel::InjectAnswer(uint8_t byte) {
    std::lock_guard<std::mutex> lock(simMutex_);
    sim_.Inject(byte, clock_->NowMs());
}

void TSimChannel::LoseLinkNow(const char* cause) {
    std::lock_guard<std::mutex> lock(simMutex_);
    if (RingBlock* r = Rings()) r->MarkLost(cause ? cause : "");
}

bool TSimChannel::NextDue(uint32_t& due) const {
    std::lock_guard<std::mutex> lock(simMutex_);
    return sim_.NextDue(due);
}

bool TSimChannel::Pump() {
    if (!Rings()) return false;
    bool any = false;
    uint32_t due = 0;
    bool hasDue = false;
    while (Pass(due, hasDue))
        any = true;
    return any;
}

bool TSimChannel::Pass(uint32_t& due, bool& hasDue) {
    std::lock_guard<std::mutex> lock(simMutex_);
    RingBlock* r = Rings();
    const uint32_t now = clock_->NowMs();
    bool work = false;
    const uint8_t* piece = nullptr;
    if (r->lost.load(std::memory_order_acquire)) {
        hasDue = false;
        return false;
    }
    if (uint32_t n = r->TxPiece(&piece)) {
        if (loseAfter_ && sim_.BytesReceived() + n >= loseAfter_)
            n = static_cast<uint32_t>(loseAfter_ - std::min(loseAfter_, sim_.BytesReceived()));
        size_t k = n ? sim_.Receive(piece, n, now, LineSpeed()) : 0;
        r->TxConsumed(static_cast<uint32_t>(k));
        work = k > 0;
        if (loseAfter_ && sim_.BytesReceived() >= loseAfter_) {
            r->MarkLost(loseCause_.c_str());
            hasDue = false;
            return false;
        }
    }
    uint8_t* room = nullptr;
    if (uint32_t m = r->RxRoom(&room)) {
        size_t k = sim_.TakeOutput(room, m, now);
        r->RxProduced(static_cast<uint32_t>(k));
        work = work || k > 0;
    }
    hasDue = sim_.NextDue(due);
    return work;
}

void TSimChannel::Service() {
    RingBlock* r = Rings();
    std::unique_lock<std::mutex> lock(m_);
    while (!stop_) {
        const uint64_t gen = requested_;
        lock.unlock();
        // What the user had done before this pass; if the pass finds nothing to do, the
        // simulator is idle until one of these changes or an answer falls due.
        const uint32_t head = r->txHead.load(std::memory_order_acquire);
        const uint32_t rxTail = r->rxTail.load(std::memory_order_acquire);
        uint32_t due = 0;
        bool hasDue = false;
        const bool work = Pass(due, hasDue);
        lock.lock();
        if (work) continue;
        idleGen_ = gen;
        idleValid_ = true;
        idleHead_ = head;
        idleRxTail_ = rxTail;
        idleHasDue_ = hasDue;
        idleDue_ = due;
        idle_.notify_all();
        wake_.wait_for(lock, std::chrono::milliseconds(1),
                       [&] { return stop_ || requested_ != gen; });
    }
    idle_.notify_all();
}

void TSimChannel::Settle(uint32_t now) {
    RingBlock* r = Rings();
    if (!r) return;
    if (driving_ == SimDriving::CallerThread) {
        Pump();
        return;
    }
    std::unique_lock<std::mutex> lock(m_);
    if (stop_ || !thread_.joinable()) return;
    if (idleValid_ && r->txHead.load(std::memory_order_acquire) == idleHead_ &&
        r->txPurge.load(std::memory_order_acquire) == 0 &&
        r->rxTail.load(std::memory_order_acquire) == idleRxTail_ &&
        !(idleHasDue_ && NotAfter(idleDue_, now)))
        return;
    const uint64_t gen = ++requested_;
    wake_.notify_all();
    idle_.wait(lock, [&] { return stop_ || idleGen_ >= gen; });
}

} // namespace zem::sim

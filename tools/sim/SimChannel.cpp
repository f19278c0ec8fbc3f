#include "SimChannel.h"

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

TSimChannel::TSimChannel(std::vector<uint8_t> stream, SimOptions options, Clock* clock,
                         int32_t levelCode, const char* name)
    : TChannel(levelCode, name, 0), clock_(clock ? clock : &SystemClock()),
      sim_(std::move(stream), std::move(options)) {
    inited = false;
    kind = kChannelSim;
    if (!Rings()) {
        Log(3, "TSimChannel - no rings");
        return;
    }
    // The defaults go straight to the setter, as on the other kinds.
    SetSpeed("115200");
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

bool TSimChannel::Pass(uint32_t& due, bool& hasDue) {
    std::lock_guard<std::mutex> lock(simMutex_);
    RingBlock* r = Rings();
    const uint32_t now = clock_->NowMs();
    bool work = false;
    const uint8_t* piece = nullptr;
    if (uint32_t n = r->TxPiece(&piece)) {
        size_t k = sim_.Receive(piece, n, now, LineSpeed());
        r->TxConsumed(static_cast<uint32_t>(k));
        work = k > 0;
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

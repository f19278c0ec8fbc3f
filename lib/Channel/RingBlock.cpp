#include "RingBlock.h"

#include <chrono>
#include <cstdio>

void RxEvent::Signal() {
    {
        std::lock_guard<std::mutex> l(m_);
        signalled_ = true;
    }
    cv_.notify_one();
}

bool RxEvent::Wait(uint32_t ms) {
    std::unique_lock<std::mutex> l(m_);
    bool ok = cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return signalled_; });
    signalled_ = false;
    return ok;
}

uint32_t RingBlock::TxPiece(const uint8_t** data) {
    uint32_t tail = txTail.load(std::memory_order_relaxed);
    // Head first, then the purge request: see the argument at the declaration.
    uint32_t head = txHead.load(std::memory_order_acquire);
    uint32_t purge = txPurge.exchange(0, std::memory_order_acq_rel);
    if (purge & kPurgeRequested) {
        tail = purge & kMask;
        txTail.store(tail, std::memory_order_release);
        head = txHead.load(std::memory_order_acquire);
    }
    uint32_t waiting = (head - tail) & kMask;
    if (tail + waiting > kSize) waiting = kSize - tail;
    *data = tx + tail;
    return waiting;
}

void RingBlock::TxConsumed(uint32_t k) {
    if (k == 0) return;
    uint32_t tail = txTail.load(std::memory_order_relaxed);
    // Sequentially consistent, as the waiter's count-then-check (TChannel::WaitTxRoom): one of
    // the two sees the other's store.
    txTail.store((tail + k) & kMask, std::memory_order_seq_cst);
    if (roomWaiters.load(std::memory_order_seq_cst) != 0) rxEvent.Signal();
}

uint32_t RingBlock::RxRoom(uint8_t** data) {
    uint32_t head = rxHead.load(std::memory_order_relaxed);
    auto room = [&](std::memory_order order) {
        uint32_t r = (rxTail.load(order) - head + kCapacity) & kMask;
        return head + r > kSize ? kSize - head : r;
    };
    *data = rx + head;
    uint32_t r = room(std::memory_order_acquire);
    if (r != 0) return r;
    // Flag first, then look again: see the argument at the declaration.
    rxRoomWanted.store(true, std::memory_order_seq_cst);
    r = room(std::memory_order_seq_cst);
    if (r != 0) rxRoomWanted.store(false, std::memory_order_relaxed);
    return r;
}

void RingBlock::RxTaken(uint32_t tail) {
    rxTail.store(tail, std::memory_order_seq_cst);
    if (rxRoomWanted.load(std::memory_order_seq_cst) &&
        rxRoomWanted.exchange(false, std::memory_order_acq_rel))
        txWake.Signal();
}

void RingBlock::RxProduced(uint32_t k) {
    if (k == 0) return;
    uint32_t head = rxHead.load(std::memory_order_relaxed);
    rxHead.store((head + k) & kMask, std::memory_order_release);
    rxEvent.Signal();
}

void RingBlock::SetInputLines(uint32_t bits) {
    constexpr uint32_t in = kLineCTS | kLineDSR | kLineDCD | kLineRING;
    uint32_t cur = lineState.load(std::memory_order_relaxed);
    uint32_t set = bits & in & ~cur;
    uint32_t clr = ~bits & in & cur;
    if (set) lineState.fetch_or(set, std::memory_order_acq_rel);
    if (clr) lineState.fetch_and(~clr, std::memory_order_acq_rel);
}

void RingBlock::MarkLost(const char* cause) {
    if (!lost.load(std::memory_order_relaxed)) {
        std::snprintf(lostCause, sizeof lostCause, "%s", cause ? cause : "");
        lost.store(true, std::memory_order_release);
    }
    rxEvent.Signal();
}

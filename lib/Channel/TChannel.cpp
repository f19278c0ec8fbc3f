#include "TChannel.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <string>

namespace {
constexpr uint32_t kMask = RingBlock::kMask;
constexpr uint32_t kSize = RingBlock::kSize;

void CopyText31(char (&dst)[32], const char* src) {
    std::strncpy(dst, src ? src : "", 31);
    dst[31] = 0;
}
} // namespace

TChannel::TChannel(int32_t levelCode, const char* name, uint8_t opt)
    : TLibrary(levelCode, name), option(opt) {
    CopyText31(channelName, name);
    // A failed allocation leaves the channel without rings; it can then never become inited.
    rings.reset(new (std::nothrow) RingBlock());
}

TChannel::~TChannel() = default;

bool TChannel::OpenWithDefaults() {
    if (SetSpeed("115200") < 0) {
        Log(3, "TSerial::TSerial - can not set speed");
        return false;
    }
    if (SetFormat("N81") < 0) {
        Log(3, "TSerial::TSerial - can not set format");
        return false;
    }
    if (SetFlow("H") < 0) {
        Log(3, "TSerial::TSerial - can not set flow");
        return false;
    }
    inited = true;
    Log(3, "Opened!");
    return true;
}

char* TChannel::GetName(char* out) const {
    std::memcpy(out, channelName, sizeof channelName);
    return out;
}

bool TChannel::Configure(const char* newSpeed, const char* newFormat, const char* newFlow) {
    if (!inited) {
        Log(3, "TChannel::Configure - Not inited -1");
        return true;
    }
    struct Setting {
        const char* text;
        char* stored;
        int (TChannel::*setter)(const char*);
        const char* failMsg;
        const char* okMsg;
    };
    const Setting settings[] = {
        {newSpeed, speed, &TChannel::SetSpeed, "TChannel::Configure - Can not set speed",
         "TChannel::Configure - New Speed: "},
        {newFormat, format, &TChannel::SetFormat, "TChannel::Configure - Can not set format",
         "TChannel::Configure - New Format: "},
        {newFlow, flow, &TChannel::SetFlow, "TChannel::Configure - Can not set flow",
         "TChannel::Configure - New Flow: "},
    };
    for (const auto& s : settings) {
        if (!s.text || !*s.text) continue;
        if (std::strcmp(s.text, s.stored) != 0) {
            // The stored text is updated before the setter and kept after a failure.
            std::strncpy(s.stored, s.text, 31);
            s.stored[31] = 0;
            if ((this->*s.setter)(s.stored) < 0) {
                Log(3, s.failMsg);
                return true;
            }
        }
        Log(3, std::string(s.okMsg) + s.text);
    }
    PurgeRx();
    PurgeTx();
    return false;
}

int TChannel::TxFree() const {
    if (!inited) return -1;
    uint32_t head = rings->txHead.load(std::memory_order_relaxed);
    uint32_t tail = rings->txTail.load(std::memory_order_acquire);
    return static_cast<int>(RingBlock::kCapacity - ((head - tail) & kMask));
}

int TChannel::Write(const void* data, int size) {
    if (!inited) return -1;
    if (size < 0) return -2;
    if (size == 0) return 0;
    const uint8_t* src = static_cast<const uint8_t*>(data);
    uint32_t left = static_cast<uint32_t>(size);
    uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(TxFree()));
    if (n == 0) return 0;
    uint32_t head = rings->txHead.load(std::memory_order_relaxed);
    uint32_t first = 0;
    if (head + n > kSize) {
        first = kSize - head;
        std::memcpy(rings->tx + head, src, first);
        head = 0;
        rings->txHead.store(head, std::memory_order_release);
        left -= first;
        n = std::min<uint32_t>(left, static_cast<uint32_t>(TxFree()));
    }
    std::memcpy(rings->tx + head, src + first, n);
    rings->txHead.store((head + n) & kMask, std::memory_order_release);
    rings->txWake.Signal();
    int count = static_cast<int>(first + n);
    // Raw bytes in the trace file would break its lines and double its cost; a wire trace of
    // its own is readable instead.
    if (wireTrace) wireTrace->Record(wirePort, zem::WireTrace::Direction::kTx, data, first + n);
    return count;
}

bool TChannel::PurgeTx() {
    if (!inited) return true;
    uint32_t head = rings->txHead.load(std::memory_order_relaxed);
    // Everything queued has gone out (the tail moves only once a piece is handed over): nothing
    // to drop, and the thread need not wake for it. The boot handshake purges before every sync
    // byte, so this halves the thread's wake-ups while it runs.
    if (rings->txTail.load(std::memory_order_acquire) == head) return false;
    rings->txPurge.store(RingBlock::kPurgeRequested | head, std::memory_order_release);
    rings->txWake.Signal();
    return false;
}

int TChannel::RxCount() const {
    if (!inited) return -1;
    uint32_t head = rings->rxHead.load(std::memory_order_acquire);
    uint32_t tail = rings->rxTail.load(std::memory_order_relaxed);
    return static_cast<int>((head - tail) & kMask);
}

int TChannel::Read(void* data, int size) {
    if (!inited) return -1;
    if (size < 0) return -2;
    if (size == 0) return 0;
    uint8_t* dst = static_cast<uint8_t*>(data);
    uint32_t left = static_cast<uint32_t>(size);
    uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(RxCount()));
    if (n == 0) return 0;
    uint32_t tail = rings->rxTail.load(std::memory_order_relaxed);
    uint32_t first = 0;
    if (tail + n > kSize) {
        first = kSize - tail;
        std::memcpy(dst, rings->rx + tail, first);
        tail = 0;
        rings->rxTail.store(tail, std::memory_order_release);
        left -= first;
        n = std::min<uint32_t>(left, static_cast<uint32_t>(RxCount()));
    }
    std::memcpy(dst + first, rings->rx + tail, n);
    rings->RxTaken((tail + n) & kMask);
    int count = static_cast<int>(first + n);
    if (wireTrace) wireTrace->Record(wirePort, zem::WireTrace::Direction::kRx, data, first + n);
    return count;
}

bool TChannel::PurgeRx() {
    if (!inited) return true;
    rings->RxTaken(rings->rxHead.load(std::memory_order_acquire));
    return false;
}

uint32_t TChannel::WakeToken() const {
    return rings ? rings->wakeCount.load(std::memory_order_seq_cst) : 0;
}

template <class Ready> void TChannel::WaitUntil(uint32_t ms, uint32_t woken, Ready ready) {
    if (!rings) return;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    // The event is auto-reset and also raised for what this wait does not wait for: re-check.
    while (!ready() && !IsLost() && rings->wakeCount.load(std::memory_order_acquire) == woken) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end) return;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
        rings->rxEvent.Wait(static_cast<uint32_t>(left));
    }
}

void TChannel::WaitRx(uint32_t ms) {
    WaitRx(ms, WakeToken());
}

void TChannel::WaitRx(uint32_t ms, uint32_t token) {
    WaitUntil(ms, token, [this] { return RxCount() > 0; });
}

void TChannel::WaitTxRoom(uint32_t ms) {
    WaitTxRoom(ms, WakeToken());
}

void TChannel::WaitTxRoom(uint32_t ms, uint32_t token) {
    if (!rings) return;
    // Counted before the room is looked at, so that the service thread either sees the count
    // or made the room that the check then finds.
    rings->roomWaiters.fetch_add(1, std::memory_order_seq_cst);
    WaitUntil(ms, token, [this] {
        uint32_t head = rings->txHead.load(std::memory_order_relaxed);
        uint32_t tail = rings->txTail.load(std::memory_order_seq_cst);
        return ((head - tail) & kMask) < RingBlock::kCapacity;
    });
    rings->roomWaiters.fetch_sub(1, std::memory_order_relaxed);
}

void TChannel::WakeWaiters() {
    if (!rings) return;
    rings->wakeCount.fetch_add(1, std::memory_order_seq_cst);
    rings->rxEvent.Signal();
}

bool TChannel::IsLost() const {
    return rings && rings->lost.load(std::memory_order_acquire);
}

const char* TChannel::LostCause() const {
    return IsLost() ? rings->lostCause : "";
}

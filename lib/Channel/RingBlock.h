#pragma once
#include "Wake.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Auto-reset event, initially not signalled. The service thread signals it after its reads into
// the receive ring, after it made room in the transmit ring and when the link is lost; the user's
// thread waits on it (TChannel::Wait), and an abort signals it to end such a wait early.
class RxEvent {
public:
    void Signal();
    bool Wait(uint32_t ms); // true if signalled within ms

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

// Modem line bits of LineState.
enum : uint32_t {
    kLineRTS = 0x01,
    kLineDTR = 0x02,
    kLineCTS = 0x04,
    kLineDSR = 0x08,
    kLineDCD = 0x10,
    kLineRING = 0x20,
};

// The two rings of a channel, shared without locks between exactly one user thread and one
// service thread.
//
// Contract: every index has one writer. The user thread writes txHead (Write) and rxTail (Read,
// PurgeRx) and the txPurge request; the service thread writes txTail and rxHead. A writer copies
// the bytes first and then publishes the index with a release store; the other side loads the
// index with acquire before it touches the bytes. LineState bits 0-1 belong to the user thread,
// bits 2-5 to whichever thread reads the modem lines (the user's thread for a local port, the
// service thread for a network one); both change them with single atomic fetch_or / fetch_and.
//
// PurgeTx cannot simply move txHead back to txTail: the service thread may be sending from an
// older tail and would then advance txTail past txHead, seeing a ring full of bytes that were never
// queued. Instead the user thread hands the thread the head it wants to discard up to (txPurge);
// the thread, which alone writes txTail, jumps to it at its next TxPiece. Bytes it had already
// taken may still go out; it never sends anything that was not queued.
//
// TxPiece loads txHead before it takes the purge request. So a request it takes was made after
// every Write whose bytes it has taken so far (had it been made earlier, the acquire load of that
// Write's head would have made it visible to the earlier exchange): the purge point is never
// behind txTail, the jump never moves txTail backwards, and nothing is sent twice or skipped.
// After the jump txHead is loaded again, since it is then at least the purge point.
//
// txWake wakes the service thread: Write, PurgeTx and the stop request raise it, and so does a
// Read or PurgeRx that frees room the thread is waiting for (rxRoomWanted). The thread raises
// that flag when it finds the receive ring full, then looks at rxTail again; the user's thread
// stores rxTail, then looks at the flag. Both sides are sequentially consistent, so one of the two
// sees the other: either the thread finds the room or the reader wakes it. The service thread
// alone sets `lost` (once, after writing lostCause).
struct RingBlock {
    static constexpr uint32_t kSize = 16384;
    static constexpr uint32_t kMask = kSize - 1;
    static constexpr uint32_t kCapacity = kSize - 1;
    static constexpr uint32_t kPurgeRequested = 0x80000000u;

    uint8_t tx[kSize] = {};
    std::atomic<uint32_t> txHead{0};
    std::atomic<uint32_t> txTail{0};
    uint8_t rx[kSize] = {};
    std::atomic<uint32_t> rxHead{0};
    std::atomic<uint32_t> rxTail{0};
    RxEvent rxEvent;
    std::atomic<uint32_t> lineState{0};
    std::atomic<uint32_t> txPurge{0}; // kPurgeRequested | head to drop up to; 0 = none
    zem::WakeEvent txWake;
    std::atomic<bool> lost{false};
    std::atomic<uint32_t> wakeCount{0}; // raised by TChannel::WakeWaiters
    // Writers waiting for room: only then does taking bytes raise rxEvent, so that a reader
    // waiting for an answer is not woken by every piece sent.
    std::atomic<uint32_t> roomWaiters{0};
    std::atomic<bool> rxRoomWanted{false}; // the service thread found the receive ring full
    char lostCause[128] = {};

    // --- service-thread side ---
    // Contiguous piece of queued bytes from txTail (applies a pending purge first).
    uint32_t TxPiece(const uint8_t** data);
    void TxConsumed(uint32_t k);
    // Contiguous room in the receive ring at rxHead. A full ring asks the user's thread for a
    // wake-up when it frees room (see rxRoomWanted).
    uint32_t RxRoom(uint8_t** data);
    void RxProduced(uint32_t k);       // publishes k bytes and signals the event when k > 0
    void SetInputLines(uint32_t bits); // bits 2-5 from the line's modem status
    // --- user-thread side ---
    // Publishes a new rxTail and wakes the service thread if it waits for that room.
    void RxTaken(uint32_t tail);

    // The link is gone for good: records the cause (first one wins) and wakes the user's waits.
    void MarkLost(const char* cause);
};

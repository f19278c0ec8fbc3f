#pragma once
#include "BootSim.h"
#include "Clock.h"
#include "TChannel.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zem::sim {

class TSimChannel;

// A clock for tests: sleeping only moves the time on. When a simulator channel is attached, every
// sleep first lets the simulator take what was written and send what has fallen due, so a run is
// deterministic and a 50 s handshake takes milliseconds.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint32_t startMs = 0) : now_(startMs) {}
    uint32_t NowMs() override { return now_.load(std::memory_order_acquire); }
    void SleepMs(uint32_t ms) override;

    void Attach(TSimChannel* channel) { channel_ = channel; }
    uint64_t Sleeps() const { return sleeps_; }
    // Runs on the sleeping thread after each sleep, with the new time (tests use it to act in
    // the middle of a wait, e.g. to request an abort).
    std::function<void(uint32_t nowMs)> onSleep;

private:
    std::atomic<uint32_t> now_;
    TSimChannel* channel_ = nullptr;
    uint64_t sleeps_ = 0;
};

// A clock that never waits: each wait of the protocol first lets the simulator (driven on the
// caller's thread) take what was written and hand over what is due, and when nothing has come, the
// time jumps to the next answer due or to the end of the wait, whichever is first. A 40 s time-out
// costs a few dozen steps, and no thread hand-off is left in a run.
class JumpingClock final : public Clock {
public:
    explicit JumpingClock(uint32_t startMs = 0) : now_(startMs) {}
    uint32_t NowMs() override;
    void SleepMs(uint32_t ms) override;
    void WaitRx(TChannel& channel, uint32_t ms, uint32_t pollMs, uint32_t wakeToken) override;
    void WaitTxRoom(TChannel& channel, uint32_t ms, uint32_t pollMs, uint32_t wakeToken) override;

    void Attach(TSimChannel* channel) { channel_ = channel; }
    uint64_t Steps() const { return steps_; }
    // The process is held up for `ms` just before its `reading`-th look at the clock (1 is the
    // next one), as a loaded machine deschedules it: time moves on between two readings that
    // otherwise follow each other at once.
    void PauseAtReading(uint64_t reading, uint32_t ms) {
        pauseAt_ = readings_ + reading;
        pauseMs_ = ms;
    }

private:
    void Advance(uint32_t ms);

    uint32_t now_;
    TSimChannel* channel_ = nullptr;
    uint64_t steps_ = 0;
    uint64_t readings_ = 0;
    uint64_t pauseAt_ = 0; // 0: none
    uint32_t pauseMs_ = 0;
};

// Who moves the bytes between the rings and the simulator.
enum class SimDriving {
    ServiceThread, // a thread of the channel's own, as the real kinds have
    CallerThread,  // nobody until the clock's waits (or Settle) pump it: deterministic and fast
};

// Channel kind whose far end is the boot loader simulator, in the same process. Its service
// thread feeds the simulator from the transmit ring (honouring purges) and puts the simulator's
// answers into the receive ring. Destroy it as itself (its kind byte is kChannelSim).
class TSimChannel : public TChannel {
public:
    static constexpr uint8_t kChannelSim = 2;

    TSimChannel(std::vector<uint8_t> stream, SimOptions options, Clock* clock,
                int32_t levelCode = 0, const char* name = "SIM",
                SimDriving driving = SimDriving::ServiceThread);
    ~TSimChannel() override;

    int SetSpeed(const char* text) override; // any positive decimal rate, else refused
    int SetFormat(const char*) override { return 0; }
    int SetFlow(const char*) override { return 0; }
    int SetLines(int) override { return 0; }
    int ClearLines(int) override { return 0; }
    int GetLines(uint32_t*) override { return 0; }

    uint32_t LineSpeed() const { return lineSpeed_.load(std::memory_order_acquire); }
    // Every text handed to SetSpeed, in order (Configure calls it only for a changed text).
    std::vector<std::string> SpeedTexts() const;
    // SetSpeed refuses this text (to test a failing speed change).
    void RefuseSpeed(const std::string& text);

    // Runs f on the simulator under its lock; use it to inspect what the module saw.
    template <class F> auto WithSim(F f) const {
        std::lock_guard<std::mutex> lock(simMutex_);
        return f(static_cast<const BootSim&>(sim_));
    }

    // Lets the service thread catch up with the user's writes and with the time `nowMs`.
    // Returns when the simulator has nothing more to do at that time.
    void Settle(uint32_t nowMs);

    // Caller-thread driving: moves bytes both ways until nothing more moves at the clock's time.
    // True when anything moved.
    bool Pump();
    // When the next answer falls due (false: none queued).
    bool NextDue(uint32_t& dueMs) const;
    // The link is lost (as a pulled adapter) once the simulator has taken `bytes` bytes.
    void LoseLinkAfter(uint64_t bytes, const char* cause);
    // A byte from the line that the loader did not send as an answer of its own (one left over
    // from an answer out of step), due now.
    void InjectAnswer(uint8_t byte);
    // The link is lost now, whatever the user's thread is doing (caller-thread driving only: the
    // caller is then the channel's service side).
    void LoseLinkNow(const char* cause);

private:
    void Service();
    bool Pass(uint32_t& idleDue, bool& hasDue);

    Clock* clock_;
    SimDriving driving_;
    uint64_t loseAfter_ = 0; // 0: never
    std::string loseCause_;
    mutable std::mutex simMutex_;
    BootSim sim_;
    std::vector<std::string> speedTexts_;
    std::string refusedSpeed_;
    std::atomic<uint32_t> lineSpeed_{0};

    std::mutex m_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    bool stop_ = false;
    uint64_t requested_ = 0;
    uint64_t idleGen_ = 0;
    bool idleValid_ = false;
    uint32_t idleHead_ = 0;
    uint32_t idleRxTail_ = 0;
    bool idleHasDue_ = false;
    uint32_t idleDue_ = 0;
    std::thread thread_;
};

} // namespace zem::sim

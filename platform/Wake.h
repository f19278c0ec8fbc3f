#pragma once
#include <atomic>
#include <cstdint>

namespace zem {

// What a wait that takes a caller's wake-up as a raw value (a network library's) is given for
// "none": POSIX descriptors and Win32 handles are never -1 when valid.
inline constexpr intptr_t kNoWake = -1;

// A wake-up signal that one thread waits on, alone or together with a port, and that any thread
// may raise. Signals do not count: several before a wait wake it once. Raising it is safe from a
// signal handler. Made once, at construction; waiting and raising never allocate.
class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    bool Valid() const;
    void Signal();
    // True when raised within ms (and takes the signal), false on time-out.
    bool Wait(uint32_t ms);
    // Takes a pending signal, if any, without waiting.
    void Clear();
    // POSIX: a descriptor readable while raised. Win32: an auto-reset event handle.
    intptr_t Native() const { return native_; }

    // Fault injection for tests: the next n wake-ups made come out not Valid, as when the
    // platform has no descriptors or handles left.
    static void FailNextForTests(int n) { failNext_.store(n, std::memory_order_relaxed); }

private:
    // Whether this construction is one that FailNextForTests asked to fail.
    static bool InjectedFailure() {
        int n = failNext_.load(std::memory_order_relaxed);
        while (n > 0 && !failNext_.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
        }
        return n > 0;
    }
    static inline std::atomic<int> failNext_{0};
    intptr_t native_;
};

// A wake-up that stays raised: once raised, every wait on it ends at once, that one and every later
// one, however many threads or libraries wait. Made for an abort, which may come while a thread is
// deep in a wait of a library that only takes a descriptor or handle. Raising it is safe from a
// signal handler.
class WakeLatch {
public:
    WakeLatch();
    ~WakeLatch();
    WakeLatch(const WakeLatch&) = delete;
    WakeLatch& operator=(const WakeLatch&) = delete;

    bool Valid() const;
    void Raise();
    bool Raised() const { return raised_.load(std::memory_order_acquire); }
    // POSIX: a descriptor readable once raised, never read. Win32: a manual-reset event handle.
    // kNoWake when not Valid.
    intptr_t Native() const;

private:
    std::atomic<bool> raised_{false};
    intptr_t native_;
};

} // namespace zem

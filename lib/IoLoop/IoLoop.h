#pragma once
#include <atomic>

// How every I/O thread here runs (the serial channel's local and network links, the network
// library's port): a pass moves what can move without waiting, then the thread sleeps until an
// event. Everything such a thread serves ends that sleep at once: bytes arriving, room freed,
// bytes queued, the stop request. The guard bounds only a sleep whose wake-up a platform fault
// lost, so that such a fault costs a transfer a second instead of hanging it; it is no poll
// interval, and a pass that must look again sooner (a transfer to retry, a library that cannot
// wait) sleeps less.
namespace ioloop {

inline constexpr int kGuardMs = 1000;

// Runs passes until `stop` is set or a pass returns false (its link is gone). `pass(guardMs)`
// moves what it can, then sleeps until an event, at most guardMs.
template <class Pass> void Run(const std::atomic<bool>& stop, Pass&& pass) {
    while (!stop.load(std::memory_order_acquire))
        if (!pass(kGuardMs)) return;
}

// A thread whose link is gone moves nothing more: it waits for its stop request, whose wake-up
// ends `sleep(guardMs)` early.
template <class Sleep> void IdleUntilStopped(const std::atomic<bool>& stop, Sleep&& sleep) {
    while (!stop.load(std::memory_order_acquire))
        sleep(kGuardMs);
}

} // namespace ioloop

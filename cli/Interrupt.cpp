#include "Interrupt.h"

#include "Terminal.h"
#include "Wake.h"

#include <atomic>
#include <csignal>
#include <thread>

namespace zem::cli {

namespace {

std::atomic<int> gStops{0};   // every signal that asks the run to end
std::atomic<int> gRepeats{0}; // Ctrl-C and termination requests: the second one aborts
zem::WakeEvent* gSignalWake = nullptr;

extern "C" void OnStopSignal(int) {
    gStops.fetch_add(1, std::memory_order_acq_rel);
    if (gSignalWake) gSignalWake->Signal(); // async-signal-safe
}

extern "C" void OnInterruptSignal(int) {
    gRepeats.fetch_add(1, std::memory_order_acq_rel);
    OnStopSignal(0);
}

} // namespace

// A thread of its own, woken by the signal handler, calls what the signal asks for.
class SignalWatcher {
public:
    SignalWatcher(std::function<void()> onStop, std::function<void()> onAbort)
        : onStop_(std::move(onStop)), onAbort_(std::move(onAbort)) {
        gSignalWake = &wake_;
        thread_ = std::thread([this] {
            bool stopped = false, aborted = false;
            while (!over_.load(std::memory_order_acquire)) {
                wake_.Wait(1000);
                if (!stopped && gStops.load(std::memory_order_acquire) > 0) {
                    stopped = true;
                    if (onStop_) onStop_();
                }
                if (!aborted && gRepeats.load(std::memory_order_acquire) > 1) {
                    aborted = true;
                    if (onAbort_) onAbort_();
                }
            }
        });
    }
    ~SignalWatcher() {
        over_.store(true, std::memory_order_release);
        wake_.Signal();
        thread_.join();
        gSignalWake = nullptr;
    }

private:
    std::function<void()> onStop_;
    std::function<void()> onAbort_;
    zem::WakeEvent wake_;
    std::atomic<bool> over_{false};
    std::thread thread_;
};

ScopedInterrupt::ScopedInterrupt(std::function<void()> onStop, std::function<void()> onAbort) {
    gStops.store(0);
    gRepeats.store(0);
    IgnoreBrokenPipe();
    watcher_ = std::make_unique<SignalWatcher>(std::move(onStop), std::move(onAbort));
    oldInt_ = std::signal(SIGINT, OnInterruptSignal);
    oldTerm_ = std::signal(SIGTERM, OnInterruptSignal);
    if (int hup = HangupSignal()) oldHup_ = std::signal(hup, OnStopSignal);
}

ScopedInterrupt::~ScopedInterrupt() {
    std::signal(SIGINT, oldInt_);
    std::signal(SIGTERM, oldTerm_);
    if (int hup = HangupSignal()) std::signal(hup, oldHup_);
    watcher_.reset();
}

} // namespace zem::cli

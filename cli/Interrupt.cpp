#include "Interrupt.h"

#include "Terminal.h"
#include "Wake.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
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

// Whether the run the signals are for has ended (its ScopedInterrupt is gone).
std::mutex gEndMutex;
std::condition_variable gEndChanged;
bool gEnded = true;

bool WaitForEnd(uint32_t ms) {
    std::unique_lock lock(gEndMutex);
    return gEndChanged.wait_for(lock, std::chrono::milliseconds(ms), [] { return gEnded; });
}

// Of the five seconds Windows leaves a process whose console was closed (more at a logoff or a
// shutdown), most go to the clean stop, the rest to an abort that still writes the runs' ends.
constexpr uint32_t kFinalCleanStopMs = 3000;
constexpr uint32_t kFinalAbortMs = 1500;

bool OnConsoleEvent(ConsoleEvent event) {
    if (event == ConsoleEvent::kInterrupt || event == ConsoleEvent::kBreak) {
        OnInterruptSignal(0);
        return true;
    }
    // The console closed, a logoff or a shutdown: the process ends as soon as this returns, so
    // it returns only when the run has ended, or when time is up.
    OnStopSignal(0);
    if (WaitForEnd(kFinalCleanStopMs)) return true;
    gRepeats.store(2, std::memory_order_release);
    OnStopSignal(0);
    WaitForEnd(kFinalAbortMs);
    return true;
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
    {
        std::lock_guard lock(gEndMutex);
        gEnded = false;
    }
    IgnoreBrokenPipe();
    watcher_ = std::make_unique<SignalWatcher>(std::move(onStop), std::move(onAbort));
    oldInt_ = std::signal(SIGINT, OnInterruptSignal);
    oldTerm_ = std::signal(SIGTERM, OnInterruptSignal);
    if (int hup = HangupSignal()) {
        oldHup_ = std::signal(hup, OnStopSignal);
        // Started under nohup (or told so by its operator): a hang-up is not to stop it.
        if (oldHup_ == SIG_IGN) std::signal(hup, SIG_IGN);
    }
    SetConsoleEventHandler(OnConsoleEvent);
}

ScopedInterrupt::~ScopedInterrupt() {
    std::signal(SIGINT, oldInt_);
    std::signal(SIGTERM, oldTerm_);
    if (int hup = HangupSignal()) std::signal(hup, oldHup_);
    watcher_.reset();
    {
        std::lock_guard lock(gEndMutex);
        gEnded = true;
    }
    gEndChanged.notify_all();
    SetConsoleEventHandler(nullptr);
}

void DeliverConsoleEventForTests(ConsoleEvent event) {
    OnConsoleEvent(event);
}

} // namespace zem::cli

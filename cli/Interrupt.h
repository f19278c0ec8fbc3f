#pragma once
#include <functional>
#include <memory>

namespace zem::cli {

class SignalWatcher;

// While one lives, the operator's signals reach the run at once, each call on a thread of the
// watcher's own (so a wait in progress ends then, not at the protocol's next callback):
// - the first Ctrl-C, termination request or hang-up (a dropped session) calls `onStop`;
// - a second Ctrl-C or termination request calls `onAbort`.
// A pipe whose reader has gone no longer ends the process: its writes fail instead.
class ScopedInterrupt {
public:
    ScopedInterrupt(std::function<void()> onStop, std::function<void()> onAbort);
    ~ScopedInterrupt();
    ScopedInterrupt(const ScopedInterrupt&) = delete;
    ScopedInterrupt& operator=(const ScopedInterrupt&) = delete;

private:
    std::unique_ptr<SignalWatcher> watcher_;
    void (*oldInt_)(int) = nullptr;
    void (*oldTerm_)(int) = nullptr;
    void (*oldHup_)(int) = nullptr;
};

} // namespace zem::cli

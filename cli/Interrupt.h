#pragma once
#include "Terminal.h"

#include <functional>
#include <memory>

namespace zem::cli {

class SignalWatcher;

// While one lives, the operator's signals reach the run at once, each call on a thread of the
// watcher's own (so a wait in progress ends then, not at the protocol's next callback):
// - the first Ctrl-C, termination request or hang-up (a dropped session) calls `onStop`;
// - a second Ctrl-C or termination request calls `onAbort`.
// A hang-up that was ignored when it began (nohup) stays ignored. On Windows Ctrl-Break counts as
// Ctrl-C, and a closed console, a logoff or a shutdown calls `onStop`, then, when the run has not
// ended within three seconds, `onAbort`: the system ends the process soon after such an event.
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

// What the console's event handler does with `event`, called directly: for tests on systems
// whose consoles cannot be made to send one. For a closing event it returns only when the
// ScopedInterrupt has ended, or when its time is up.
void DeliverConsoleEventForTests(ConsoleEvent event);

} // namespace zem::cli

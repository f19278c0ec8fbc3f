#pragma once

namespace zem {

// While one lives, the system timer runs at 1 ms: Windows otherwise rounds every timed wait up to
// its 15.6 ms tick. Where timed waits are already fine-grained it does nothing.
class ScopedFineTimer {
public:
    ScopedFineTimer();
    ~ScopedFineTimer();
    ScopedFineTimer(const ScopedFineTimer&) = delete;
    ScopedFineTimer& operator=(const ScopedFineTimer&) = delete;

private:
    [[maybe_unused]] bool raised_ = false; // used on Windows only
};

} // namespace zem

#pragma once
#include <cstdint>

namespace zem {

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

private:
    intptr_t native_;
};

} // namespace zem

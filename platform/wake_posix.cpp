#include "Wake.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace zem {

WakeEvent::WakeEvent() : native_(InjectedFailure() ? -1 : eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeEvent::~WakeEvent() {
    if (native_ >= 0) ::close(static_cast<int>(native_));
}

bool WakeEvent::Valid() const {
    return native_ >= 0;
}

void WakeEvent::Signal() {
    if (native_ < 0) return;
    uint64_t one = 1;
    // A full counter (never in practice) is raised all the same.
    ssize_t r = ::write(static_cast<int>(native_), &one, sizeof one);
    (void)r;
}

void WakeEvent::Clear() {
    if (native_ < 0) return;
    uint64_t v = 0;
    ssize_t r = ::read(static_cast<int>(native_), &v, sizeof v);
    (void)r;
}

bool WakeEvent::Wait(uint32_t ms) {
    if (native_ < 0) return false;
    pollfd p{static_cast<int>(native_), POLLIN, 0};
    int r;
    do
        r = ::poll(&p, 1, ms > INT32_MAX ? -1 : static_cast<int>(ms));
    while (r < 0 && errno == EINTR);
    if (r <= 0) return false;
    Clear();
    return true;
}

WakeLatch::WakeLatch() : native_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeLatch::~WakeLatch() {
    if (native_ >= 0) ::close(static_cast<int>(native_));
}

bool WakeLatch::Valid() const {
    return native_ >= 0;
}

void WakeLatch::Raise() {
    raised_.store(true, std::memory_order_release);
    if (native_ < 0) return;
    // Nobody reads it: it stays readable for every wait to come.
    uint64_t one = 1;
    ssize_t r = ::write(static_cast<int>(native_), &one, sizeof one);
    (void)r;
}

intptr_t WakeLatch::Native() const {
    return native_ >= 0 ? native_ : kNoWake;
}

} // namespace zem

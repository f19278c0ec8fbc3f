#include "Priority.h"

#include <mutex>

namespace zem {

namespace {
std::mutex gMutex;
int gHolders = 0;
bool gRaised = false; // what was last applied
thread_local bool tHolding = false;
} // namespace

void SetProcessPriorityHigh() {
    std::lock_guard lock(gMutex);
    if (tHolding) return;
    tHolding = true;
    if (gHolders++ == 0) {
        ApplyProcessPriority(true);
        gRaised = true;
    }
}

void SetProcessPriorityNormal() {
    std::lock_guard lock(gMutex);
    if (tHolding) {
        tHolding = false;
        --gHolders;
    }
    // The protocol lowers after every record; only a change reaches the system.
    if (gHolders == 0 && gRaised) {
        ApplyProcessPriority(false);
        gRaised = false;
    }
}

int ProcessPriorityHolders() {
    std::lock_guard lock(gMutex);
    return gHolders;
}

} // namespace zem

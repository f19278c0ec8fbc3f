#include "Priority.h"

#include <mutex>

namespace zem {

namespace {
std::mutex gMutex;
int gHolders = 0;
thread_local bool tHolding = false;
} // namespace

void SetProcessPriorityHigh() {
    std::lock_guard lock(gMutex);
    if (tHolding) return;
    tHolding = true;
    if (gHolders++ == 0) ApplyProcessPriority(true);
}

void SetProcessPriorityNormal() {
    std::lock_guard lock(gMutex);
    if (tHolding) {
        tHolding = false;
        --gHolders;
    }
    if (gHolders == 0) ApplyProcessPriority(false);
}

int ProcessPriorityHolders() {
    std::lock_guard lock(gMutex);
    return gHolders;
}

} // namespace zem

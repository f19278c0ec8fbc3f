#include "Priority.h"

#include <sys/resource.h>

namespace zem {

// The nearest thing to the high and normal priority classes; without privilege the raise is
// refused, which is harmless.
void ApplyProcessPriority(bool high) {
    (void)setpriority(PRIO_PROCESS, 0, high ? -10 : 0);
}

} // namespace zem

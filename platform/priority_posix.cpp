#include "Priority.h"

#include <sys/resource.h>

namespace zem {

// The nearest thing to the high and normal priority classes; without privilege the raise is
// refused, which is harmless.
void SetProcessPriorityHigh() { (void)setpriority(PRIO_PROCESS, 0, -10); }
void SetProcessPriorityNormal() { (void)setpriority(PRIO_PROCESS, 0, 0); }

} // namespace zem

#include "Priority.h"

#include "win32.h"

namespace zem {

void ApplyProcessPriority(bool high) {
    SetPriorityClass(GetCurrentProcess(), high ? HIGH_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS);
}

} // namespace zem

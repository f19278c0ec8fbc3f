#include "Priority.h"

#include "win32.h"

namespace zem {

void SetProcessPriorityHigh() { SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS); }
void SetProcessPriorityNormal() { SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS); }

} // namespace zem

#include "Priority.h"

#include <cstdlib>
#include <dirent.h>
#include <sys/resource.h>

namespace zem {

// The nearest thing to the high and normal priority classes; without privilege the raise is
// refused, which is harmless. Linux keeps a nice value per thread, so every thread of the process
// gets it; threads started later inherit it from their creator.
void ApplyProcessPriority(bool high) {
    const int nice = high ? -10 : 0;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) {
        (void)setpriority(PRIO_PROCESS, 0, nice);
        return;
    }
    while (dirent* e = readdir(tasks))
        if (e->d_name[0] != '.')
            (void)setpriority(PRIO_PROCESS, static_cast<id_t>(std::atoi(e->d_name)), nice);
    closedir(tasks);
}

} // namespace zem

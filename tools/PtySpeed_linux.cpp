// Kept apart because the kernel's termios2 declarations clash with glibc's <termios.h>.
#include "PtySpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace zem::sim {

uint32_t PtyLineSpeed(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

} // namespace zem::sim

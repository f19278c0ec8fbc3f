// Arbitrary rates need the kernel's termios2 and BOTHER from <asm/termbits.h>, which declares its
// own struct termios and flag macros and so cannot share a file with glibc's <termios.h>. This
// file includes only the kernel's side and copies the fields into a neutral record.
#include "Termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstring>

namespace zem {

static_assert(NCCS <= sizeof(LinuxTermios{}.cc), "control characters do not fit");

bool GetLinuxTermios(int fd, LinuxTermios& t) {
    termios2 k{};
    if (ioctl(fd, TCGETS2, &k) != 0) return false;
    t.iflag = k.c_iflag;
    t.oflag = k.c_oflag;
    t.cflag = k.c_cflag;
    t.lflag = k.c_lflag;
    t.line = k.c_line;
    std::memcpy(t.cc, k.c_cc, NCCS);
    t.ispeed = k.c_ispeed;
    t.ospeed = k.c_ospeed;
    return true;
}

bool SetLinuxTermios(int fd, const LinuxTermios& t) {
    termios2 k{};
    k.c_iflag = t.iflag;
    k.c_oflag = t.oflag;
    k.c_cflag = t.cflag;
    k.c_lflag = t.lflag;
    k.c_line = t.line;
    std::memcpy(k.c_cc, t.cc, NCCS);
    k.c_ispeed = t.ispeed;
    k.c_ospeed = t.ospeed;
    return ioctl(fd, TCSETS2, &k) == 0;
}

void SetLinuxTermiosRate(LinuxTermios& t, uint32_t rate) {
    t.cflag &= ~static_cast<uint32_t>(CBAUD | (CBAUD << IBSHIFT));
    t.cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.ispeed = rate;
    t.ospeed = rate;
}

} // namespace zem

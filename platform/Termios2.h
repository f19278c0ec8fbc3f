#pragma once
#include <cstdint>

namespace zem {

// A tty's settings as the kernel's termios2 holds them, rates as plain numbers. Only
// termios2_linux.cpp sees the kernel's own declaration (see there why); the flag words keep the
// kernel's bit values, which <termios.h> names as well.
struct LinuxTermios {
    uint32_t iflag = 0;
    uint32_t oflag = 0;
    uint32_t cflag = 0;
    uint32_t lflag = 0;
    uint8_t line = 0;
    uint8_t cc[32] = {};
    uint32_t ispeed = 0;
    uint32_t ospeed = 0;
};

bool GetLinuxTermios(int fd, LinuxTermios& t);
bool SetLinuxTermios(int fd, const LinuxTermios& t);
// Both directions at exactly `rate` bits per second, standard or not.
void SetLinuxTermiosRate(LinuxTermios& t, uint32_t rate);

} // namespace zem

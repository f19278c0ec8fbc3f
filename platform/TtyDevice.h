#pragma once
#include <string>
#include <sys/types.h>

namespace zem {

// Whether a device path may be opened as a serial line. Opening a device can act on it (a
// watchdog arms itself on open) and the tty layer would make the operator's terminal raw, so the
// path is judged before anything opens it: it must lead, through any links (/dev/serial/by-id
// names), to a character device of the tty class (as sysfs under `sysRoot` tells) or to a
// pseudo-terminal, and be neither a console nor the process's controlling terminal.
struct TtyDevice {
    std::string path; // the link's target, to open in place of the name
    dev_t rdev = 0;   // the device number found; the open must find it again
};

// `controlling` is the controlling terminal's device number, 0 for none.
bool FindSerialTty(const std::string& path, const std::string& sysRoot, dev_t controlling,
                   TtyDevice& found);

// The process's controlling terminal, 0 when it has none.
dev_t ControllingTerminal();

// A Unix98 pseudo-terminal's slave side: it lives as long as its master, whoever opened it.
bool IsPseudoTerminal(dev_t rdev);
// Some other process has the device open (as /proc shows); a process whose descriptors cannot
// be read counts as having it.
bool OpenElsewhere(dev_t rdev);

} // namespace zem

#include "TtyDevice.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace zem {

namespace {

// Linux device numbers of ttys that are terminals rather than lines: /dev/tty, /dev/console and
// /dev/ptmx (major 5), and the virtual consoles (major 4 below the serial ports' minor 64).
bool IsConsole(dev_t d) {
    return (major(d) == 5 && minor(d) <= 2) || (major(d) == 4 && minor(d) < 64);
}

// Unix98 pseudo-terminal slaves have no sysfs entry.
bool IsPtySlave(dev_t d) {
    return major(d) >= 136 && major(d) <= 143;
}

bool InTtyClass(dev_t d, const std::string& sysRoot) {
    std::string link = sysRoot + "/dev/char/" + std::to_string(major(d)) + ":" +
                       std::to_string(minor(d)) + "/subsystem";
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    std::string t(target, static_cast<size_t>(n));
    size_t slash = t.rfind('/');
    return t.substr(slash == std::string::npos ? 0 : slash + 1) == "tty";
}

} // namespace

bool FindSerialTty(const std::string& path, const std::string& sysRoot, dev_t controlling,
                   TtyDevice& found) {
    char real[PATH_MAX];
    if (!realpath(path.c_str(), real)) return false;
    struct stat st {};
    if (stat(real, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const dev_t d = st.st_rdev;
    if (IsConsole(d) || (controlling != 0 && d == controlling)) return false;
    if (!IsPtySlave(d) && !InTtyClass(d, sysRoot)) return false;
    found.path = real;
    found.rdev = d;
    return true;
}

dev_t ControllingTerminal() {
    // Field 7 of /proc/self/stat, after the command name in parentheses (which may hold blanks).
    std::ifstream in("/proc/self/stat");
    std::string line;
    std::getline(in, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos) return 0;
    const char* p = line.c_str() + close + 1;
    char state = 0;
    int ppid = 0, pgrp = 0, session = 0;
    long long ttyNr = 0;
    if (std::sscanf(p, " %c %d %d %d %lld", &state, &ppid, &pgrp, &session, &ttyNr) != 5) return 0;
    // tty_nr packs the major in bits 8-15 and the minor in bits 0-7 and 20-31.
    unsigned long long v = static_cast<unsigned long long>(ttyNr);
    unsigned maj = (v >> 8) & 0xFFF;
    unsigned min = (v & 0xFF) | ((v >> 12) & 0xFFF00);
    return v == 0 ? 0 : makedev(maj, min);
}

bool IsPseudoTerminal(dev_t rdev) {
    return IsPtySlave(rdev);
}

bool OpenElsewhere(dev_t rdev) {
    DIR* procs = opendir("/proc");
    if (!procs) return true;
    const std::string self = std::to_string(getpid());
    bool found = false;
    while (!found) {
        dirent* p = readdir(procs);
        if (!p) break;
        std::string pid = p->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (!fds) {
            // Gone meanwhile is no holder; one we may not look into may be.
            found = errno != ENOENT && errno != ESRCH;
            continue;
        }
        while (dirent* f = readdir(fds)) {
            if (f->d_name[0] == '.') continue;
            struct stat st {};
            if (stat((fdDir + "/" + f->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == rdev) {
                found = true;
                break;
            }
        }
        closedir(fds);
    }
    closedir(procs);
    return found;
}

} // namespace zem

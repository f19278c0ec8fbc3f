#include "OpenCause.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zem {

namespace {

std::string UserName(uid_t uid) {
    if (const passwd* p = getpwuid(uid)) return p->pw_name;
    return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    if (const group* g = getgrgid(gid)) return g->gr_name;
    return std::to_string(gid);
}

// Whether this process holds `gid`: a group joined after login is not held until the next login,
// which is why the hint says to log in again.
bool InGroup(gid_t gid) {
    if (getegid() == gid) return true;
    int n = getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    n = getgroups(n, groups.data());
    for (int i = 0; i < n; ++i)
        if (groups[static_cast<size_t>(i)] == gid) return true;
    return false;
}

std::string PermissionCause(const std::string& device) {
    struct stat st {};
    if (device.empty() || ::stat(device.c_str(), &st) != 0) return "permission denied";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const std::string group = GroupName(st.st_gid);
    std::string cause =
        "permission denied (owner " + UserName(st.st_uid) + ", group " + group + ", mode " + mode;
    // Serial devices belong to the dialout group on Debian and its derivatives; joining it helps
    // only when the device is that group's and the user is not yet in it.
    if (group == "dialout" && !InGroup(st.st_gid))
        cause += "; add the user to the dialout group, then log in again";
    return cause + ")";
}

} // namespace

std::string OpenFailureCause(long systemError, const std::string& device) {
    switch (systemError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return kCauseNoSuchDevice;
    case EACCES:
    case EPERM:
        return PermissionCause(device);
    case EBUSY:
        return "busy: another program has the port open";
    case ENOTTY:
        return "not a serial port";
    default:
        return std::strerror(static_cast<int>(systemError));
    }
}

} // namespace zem

#include "OpenCause.h"

#include <cerrno>
#include <cstring>

namespace zem {

std::string OpenFailureCause(long systemError) {
    switch (systemError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return kCauseNoSuchDevice;
    case EACCES:
    case EPERM:
        // Serial devices belong to the dialout group on Debian and its derivatives.
        return "permission denied (add the user to the dialout group, then log in again)";
    case EBUSY:
        return "busy: another program has the port open";
    case ENOTTY:
        return "not a serial port";
    default:
        return std::strerror(static_cast<int>(systemError));
    }
}

} // namespace zem

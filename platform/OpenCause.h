#pragma once
#include <string>

namespace zem {

// Why a port or a library did not open, in the operator's words, from this platform's error code
// (errno on POSIX, GetLastError on Windows): "no such device", "permission denied" with what to do
// about it, "busy", "not a serial port", else the system's own text. The one mapping of these
// codes for opening; a lost port has its own (SerialLostCause). `device`, when given, is the file
// that did not open: a permission cause then names its owner, group and mode.
std::string OpenFailureCause(long systemError, const std::string& device = {});

// The cause of a port that is not there (yet): a name that leads nowhere, an adapter unplugged.
inline constexpr const char* kCauseNoSuchDevice = "no such device";

// The line that carries a cause beneath the program's own failure text.
inline std::string CauseLine(const std::string& cause) {
    return "Cause: " + cause;
}

} // namespace zem

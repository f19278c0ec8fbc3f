#include "OpenCause.h"

#include "win32.h"

namespace zem {

std::string OpenFailureCause(long systemError, const std::string& /*device*/) {
    switch (static_cast<DWORD>(systemError)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_MOD_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
        return kCauseNoSuchDevice;
    // A serial port opens exclusively: another holder makes the open fail as access denied.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return "busy: another program has the port open";
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return "not a serial port";
    case ERROR_BAD_EXE_FORMAT:
        return "not a library for this processor";
    default:
        break;
    }
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(systemError), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string cause = n && text ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    while (!cause.empty() && (cause.back() == '\n' || cause.back() == '\r' || cause.back() == ' ' ||
                              cause.back() == '.'))
        cause.pop_back();
    if (cause.empty()) cause = "system error " + std::to_string(systemError);
    return cause;
}

} // namespace zem

#include "AppendFile.h"

#include "win32.h"

#include <string>

namespace zem {

namespace {
std::string Cause(DWORD e) {
    char text[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e,
                             0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return s.empty() ? "error " + std::to_string(e) : s;
}
} // namespace

bool AppendAndSync(const std::string& path, const std::string& bytes, std::string& cause) {
    HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        cause = Cause(GetLastError());
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    if (!ok) cause = written ? "only part of the line was written" : Cause(GetLastError());
    if (ok && !FlushFileBuffers(h) && GetLastError() != ERROR_INVALID_HANDLE) {
        ok = false;
        cause = Cause(GetLastError());
    }
    CloseHandle(h);
    return ok;
}

} // namespace zem

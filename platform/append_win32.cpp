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
    // Written at the end through the offset all ones (appends whatever the others wrote); write
    // access lets a half-written line be taken back, read access the last byte be looked at.
    HANDLE h =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        cause = Cause(GetLastError());
        return false;
    }
    const bool disk = GetFileType(h) == FILE_TYPE_DISK;
    LARGE_INTEGER before{};
    if (!disk || !GetFileSizeEx(h, &before)) before.QuadPart = 0;
    // A line cut short before would swallow this one: it starts on a fresh line.
    std::string data;
    if (disk && before.QuadPart > 0 && !bytes.empty()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(before.QuadPart - 1);
        at.OffsetHigh = static_cast<DWORD>((before.QuadPart - 1) >> 32);
        char last = '\n';
        DWORD got = 0;
        if (ReadFile(h, &last, 1, &got, &at) && got == 1 && last != '\n') data.push_back('\n');
    }
    data += bytes;
    OVERLAPPED end{};
    end.Offset = 0xFFFFFFFF;
    end.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    bool ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, &end) &&
              written == data.size();
    if (!ok) {
        DWORD e = GetLastError();
        cause = written ? "only part of the line was written" : Cause(e);
        // Half a line is worse than none: the file ends where it ended before.
        if (disk && written > 0 &&
            !(SetFilePointerEx(h, before, nullptr, FILE_BEGIN) && SetEndOfFile(h)))
            cause +=
                " (and the part written could not be taken back: " + Cause(GetLastError()) + ")";
    }
    if (ok && !FlushFileBuffers(h) && GetLastError() != ERROR_INVALID_HANDLE) {
        ok = false;
        cause = Cause(GetLastError());
    }
    CloseHandle(h);
    return ok;
}

} // namespace zem

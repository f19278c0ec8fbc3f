#include "Paths.h"

#include "win32.h"

namespace zem {

char PathSeparator() { return '\\'; }

std::string CurrentDir() {
    char buf[MAX_PATH + 1];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    if (n == 0 || n >= sizeof buf) return {};
    return std::string(buf, n);
}

std::string CurrentDirWithSeparator() {
    char buf[MAX_PATH + 1];
    DWORD n = GetFullPathNameA(".\\", sizeof buf, buf, nullptr);
    if (n == 0 || n >= sizeof buf) return {};
    std::string d(buf, n);
    if (d.back() != '\\') d += '\\';
    return d;
}

bool SetCurrentDir(const std::string& dir) { return SetCurrentDirectoryA(dir.c_str()) != 0; }

bool FileExists(const std::string& path) {
    if (path.empty()) return false;
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool ReplaceFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

} // namespace zem

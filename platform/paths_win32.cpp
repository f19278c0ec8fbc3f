#include "Paths.h"

#include "win32.h"

namespace zem {

char PathSeparator() {
    return '\\';
}

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

bool SetCurrentDir(const std::string& dir) {
    return SetCurrentDirectoryA(dir.c_str()) != 0;
}

namespace {

// The folder's full long name with a trailing separator, for comparing two names of one folder.
std::string LongFolderName(std::string dir) {
    if (!dir.empty() && dir.back() != '\\') dir += '\\';
    char buf[MAX_PATH + 1];
    DWORD n = GetLongPathNameA(dir.c_str(), buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return dir;
    std::string d(buf, n);
    if (d.back() != '\\') d += '\\';
    return d;
}

} // namespace

bool UseUserFolderIfInProgramFolder() {
    char exe[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
    if (n == 0 || n >= sizeof exe) return true;
    std::string programDir(exe, n);
    programDir.erase(programDir.find_last_of('\\') + 1);
    if (lstrcmpiA(LongFolderName(programDir).c_str(), LongFolderName(CurrentDir()).c_str()) != 0)
        return true;
    char local[MAX_PATH + 1];
    DWORD m = GetEnvironmentVariableA("LOCALAPPDATA", local, sizeof local);
    if (m == 0 || m >= sizeof local) return false;
    const std::string userDir = std::string(local, m) + "\\Zem";
    if (!CreateDirectoryA(userDir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    return SetCurrentDirectoryA(userDir.c_str()) != 0;
}

bool FileExists(const std::string& path) {
    if (path.empty()) return false;
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::FILE* OpenRegularFile(const std::string& path) {
    if (path.empty()) return nullptr;
    // Only a disk file: a pipe, a console or a device name ("COM1", "\\.\pipe\x") is refused.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    DWORD type = GetFileType(h);
    BY_HANDLE_FILE_INFORMATION info{};
    bool regular = type == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                   !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(h);
    return regular ? std::fopen(path.c_str(), "rb") : nullptr;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool IsReadableByOthers(const std::string&) {
    return false;
}

bool IsFolderWritable(const std::string& dir) {
    std::string probe = dir;
    if (!probe.empty() && probe.back() != '\\' && probe.back() != '/') probe += '\\';
    probe += "zem-write-check-" + std::to_string(GetCurrentProcessId()) + ".tmp";
    HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return true;
    }
    return GetLastError() == ERROR_FILE_EXISTS;
}

bool RenameNoReplace(const std::string& from, const std::string& to, bool& taken) {
    taken = false;
    if (MoveFileExA(from.c_str(), to.c_str(), 0) != 0) return true;
    DWORD e = GetLastError();
    taken = e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS;
    return false;
}

} // namespace zem

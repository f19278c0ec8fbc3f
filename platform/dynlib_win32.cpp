#include "DynLib.h"

#include "OpenCause.h"
#include "Paths.h"
#include "win32.h"

#include <cstdio>
#include <vector>

namespace zem {

namespace {

std::string ExecutableDir() {
    std::vector<char> buf(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) {
            std::string path(buf.data(), n);
            size_t sep = path.find_last_of("\\/");
            return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
        }
        if (buf.size() >= 32768) return {};
        buf.resize(buf.size() * 2);
    }
}

bool OpensForReading(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::fclose(f);
    return true;
}

bool HasDirectoryPart(const std::string& name) {
    return name.find_first_of("\\/:") != std::string::npos;
}

} // namespace

std::vector<std::string> LibrarySearchFolders(const std::string& name) {
    std::vector<std::string> folders;
    if (HasDirectoryPart(name)) return folders;
    std::string exeDir = ExecutableDir();
    if (!exeDir.empty()) folders.push_back(exeDir);
    std::string cwd = CurrentDir();
    if (!cwd.empty()) {
        char last = cwd.back();
        folders.push_back(cwd + (last == '\\' || last == '/' ? "" : "\\"));
    }
    return folders;
}

std::string FindLibraryFile(const std::string& name) {
    if (name.empty()) return {};
    if (HasDirectoryPart(name)) return OpensForReading(name) ? name : std::string();
    for (const std::string& folder : LibrarySearchFolders(name))
        if (OpensForReading(folder + name)) return folder + name;
    return {};
}

bool DynLib::Load(const std::string& path) {
    Unload();
    loadError_.clear();
    if (path.empty()) {
        loadError_ = "no file";
        return false;
    }
    // A relative name would make the loader search its directories: load by the full path.
    char full[MAX_PATH + 1];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) {
        loadError_ = OpenFailureCause(static_cast<long>(GetLastError()));
        return false;
    }
    std::string exact(full, n);
    // Without a dot in the file name the loader would add ".dll" and load another file.
    size_t base = exact.find_last_of("\\/");
    if (exact.find('.', base == std::string::npos ? 0 : base) == std::string::npos) exact += '.';
    // A broken library must fail the load, not stop an unattended run with a system box.
    DWORD oldMode = 0;
    BOOL quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    handle_ = reinterpret_cast<void*>(LoadLibraryA(exact.c_str()));
    if (!handle_) loadError_ = OpenFailureCause(static_cast<long>(GetLastError()));
    if (quiet) SetThreadErrorMode(oldMode, nullptr);
    return handle_ != nullptr;
}

void* DynLib::Symbol(const char* name) const {
    if (!handle_ || !name) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void DynLib::Unload() {
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

} // namespace zem

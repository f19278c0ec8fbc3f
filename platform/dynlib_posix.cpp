#include "DynLib.h"

#include "Paths.h"

#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <limits.h>
#include <unistd.h>
#include <vector>

// Where the installed programs find their private libraries, relative to their own folder.
#ifndef ZEM_LIBRARY_DIR_FROM_BINDIR
#define ZEM_LIBRARY_DIR_FROM_BINDIR "../lib/zem"
#endif

namespace zem {

namespace {

std::string ExecutableDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool OpensForReading(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::fclose(f);
    return true;
}

} // namespace

std::vector<std::string> LibrarySearchFolders(const std::string& name) {
    std::vector<std::string> folders;
    if (name.find('/') != std::string::npos) return folders;
    std::string exeDir = ExecutableDir();
    if (!exeDir.empty()) {
        folders.push_back(exeDir);
        // Shown to the operator: without the "bin/.." detour.
        std::filesystem::path installed =
            std::filesystem::path(exeDir + ZEM_LIBRARY_DIR_FROM_BINDIR).lexically_normal();
        folders.push_back(installed.string() + "/");
    }
    std::string cwd = CurrentDir();
    if (!cwd.empty()) folders.push_back(cwd + (cwd.back() == '/' ? "" : "/"));
    return folders;
}

std::string FindLibraryFile(const std::string& name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return OpensForReading(name) ? name : std::string();
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
    // A name without a slash would make dlopen search the system's directories.
    std::string exact = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = dlopen(exact.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        loadError_ = why ? why : "not a loadable library";
    }
    return handle_ != nullptr;
}

void* DynLib::Symbol(const char* name) const {
    return handle_ && name ? dlsym(handle_, name) : nullptr;
}

void DynLib::Unload() {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
}

} // namespace zem

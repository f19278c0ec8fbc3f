#include "DynLib.h"

#include "Paths.h"

#include <cstdio>
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

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

std::string FindLibraryFile(const std::string& name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return OpensForReading(name) ? name : std::string();
    std::string exeDir = ExecutableDir();
    if (!exeDir.empty() && OpensForReading(exeDir + name)) return exeDir + name;
    if (!exeDir.empty()) {
        std::string installed = exeDir + ZEM_LIBRARY_DIR_FROM_BINDIR + "/" + name;
        if (OpensForReading(installed)) return installed;
    }
    std::string cwd = CurrentDir();
    if (cwd.empty()) return {};
    std::string here = cwd + (cwd.back() == '/' ? "" : "/") + name;
    return OpensForReading(here) ? here : std::string();
}

bool DynLib::Load(const std::string& path) {
    Unload();
    if (path.empty()) return false;
    // A name without a slash would make dlopen search the system's directories.
    std::string exact = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = dlopen(exact.c_str(), RTLD_NOW | RTLD_LOCAL);
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

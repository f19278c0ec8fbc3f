#include "Paths.h"

#include <cstdio>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zem {

char PathSeparator() { return '/'; }

std::string CurrentDir() {
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf)) return {};
    return buf;
}

std::string CurrentDirWithSeparator() {
    std::string d = CurrentDir();
    if (d.empty() || d.back() != '/') d += '/';
    return d;
}

bool SetCurrentDir(const std::string& dir) { return chdir(dir.c_str()) == 0; }

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool ReplaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

} // namespace zem

#include "Paths.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zem {

char PathSeparator() {
    return '/';
}

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

bool SetCurrentDir(const std::string& dir) {
    return chdir(dir.c_str()) == 0;
}

bool UseUserFolderIfInProgramFolder() {
    // Installed programs here live in system folders and are started from a shell or a desktop
    // entry, both of which choose the working folder.
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::FILE* OpenRegularFile(const std::string& path) {
    if (path.empty()) return nullptr;
    // Non-blocking, so that opening a FIFO that no writer holds returns at once; the type is
    // judged on the descriptor itself, which no rename in between can change.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool IsFolderWritable(const std::string& dir) {
    // The effective user's rights, and a read-only mount, as a create would meet them.
    return faccessat(AT_FDCWD, dir.empty() ? "." : dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool IsReadableByOthers(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

bool RenameNoReplace(const std::string& from, const std::string& to, bool& taken) {
    taken = false;
    // A hard link is made only where no name is: the check and the naming are one step.
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST) {
        taken = true;
        return false;
    }
    // A file system without hard links (FAT on a USB stick): check, then rename.
    struct stat st {};
    if (lstat(to.c_str(), &st) == 0) {
        taken = true;
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}

} // namespace zem

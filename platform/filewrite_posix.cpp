#include "ProfileFile.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace zem {

namespace {

// The file a path finally names; a dangling link names the file it would create.
std::string FollowLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        char target[PATH_MAX];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) return path;
        std::string t(target, static_cast<size_t>(n));
        if (t[0] != '/') {
            size_t slash = path.rfind('/');
            t = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + t;
        }
        path = t;
    }
    return path;
}

bool WriteAll(int fd, const std::string& bytes, off_t at) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t k =
            pwrite(fd, bytes.data() + done, bytes.size() - done, at + static_cast<off_t>(done));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        done += static_cast<size_t>(k);
    }
    return true;
}

enum class Outcome { kDone, kFailed, kNotKept };

// A copy beside the file, renamed over it: nothing half-written even after a crash. Only when
// the copy can carry the file's owner, group and mode; otherwise kNotKept.
Outcome ReplaceByCopy(const std::string& file, const std::string& bytes, const struct stat* old) {
    // A name of our own beside the file; a new file gets the usual mode through the umask.
    static std::atomic<unsigned> counter{0};
    std::string tmp = file + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, old ? 0600 : 0666);
    if (fd < 0) return old ? Outcome::kNotKept : Outcome::kFailed;
    bool kept = true;
    if (old) {
        struct stat now {};
        kept = fstat(fd, &now) == 0;
        if (kept && (now.st_uid != old->st_uid || now.st_gid != old->st_gid))
            kept = fchown(fd, old->st_uid, old->st_gid) == 0;
        kept = kept && fchmod(fd, old->st_mode & 07777) == 0;
    }
    if (!kept) {
        close(fd);
        unlink(tmp.c_str());
        return Outcome::kNotKept;
    }
    bool ok = WriteAll(fd, bytes, 0) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), file.c_str()) != 0) {
        unlink(tmp.c_str());
        return Outcome::kFailed;
    }
    return Outcome::kDone;
}

// Written over in place, for a file that a copy cannot stand in for (shared with other owners,
// other names, a folder we may not write). A failed write puts the old bytes back.
bool RewriteInPlace(const std::string& file, const std::string& bytes) {
    int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    std::string old;
    char buf[8192];
    ssize_t k;
    while ((k = read(fd, buf, sizeof buf)) > 0)
        old.append(buf, static_cast<size_t>(k));
    bool ok = k == 0;
    if (ok) {
        ok = WriteAll(fd, bytes, 0) && ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 &&
             fsync(fd) == 0;
        if (!ok) {
            // Best effort: the write has already failed, and that failure is what is reported.
            if (WriteAll(fd, old, 0)) (void)!ftruncate(fd, static_cast<off_t>(old.size()));
        }
    }
    return close(fd) == 0 && ok;
}

} // namespace

bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
    const std::string file = FollowLinks(path);
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
        if (errno != ENOENT) return false;
        return ReplaceByCopy(file, bytes, nullptr) == Outcome::kDone;
    }
    if (!S_ISREG(st.st_mode)) return false;
    if (st.st_nlink == 1) {
        Outcome o = ReplaceByCopy(file, bytes, &st);
        if (o != Outcome::kNotKept) return o == Outcome::kDone;
    }
    return RewriteInPlace(file, bytes);
}

bool MayWriteFile(const std::string& path) {
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

} // namespace zem

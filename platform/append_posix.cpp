#include "AppendFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace zem {

bool AppendAndSync(const std::string& path, const std::string& bytes, std::string& cause) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        cause = std::strerror(errno);
        return false;
    }
    ssize_t n;
    do {
        n = write(fd, bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    bool ok = n == static_cast<ssize_t>(bytes.size());
    if (!ok) cause = n < 0 ? std::strerror(errno) : "only part of the line was written";
    // A pipe or a terminal cannot be synced (EINVAL): what it took is all there is to it.
    if (ok && fsync(fd) != 0 && errno != EINVAL && errno != EROFS) {
        ok = false;
        cause = std::strerror(errno);
    }
    if (close(fd) != 0 && ok) {
        ok = false;
        cause = std::strerror(errno);
    }
    return ok;
}

} // namespace zem

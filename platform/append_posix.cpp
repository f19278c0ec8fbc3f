#include "AppendFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zem {

namespace {
// Writes all of `size` bytes; false with errno set when the system takes no more.
bool WriteAll(int fd, const char* data, size_t size, size_t& written) {
    written = 0;
    while (written < size) {
        ssize_t n = write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}
} // namespace

bool AppendAndSync(const std::string& path, const std::string& bytes, std::string& cause) {
    // Read access lets the last byte be looked at; a file that may only be written is appended
    // to without that look.
    int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && (errno == EACCES || errno == EISDIR || errno == EPERM))
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        cause = std::strerror(errno);
        return false;
    }
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const off_t before = regular ? st.st_size : 0;
    // A line cut short before (a crash, a full disk under another program) would swallow this
    // one: it starts on a fresh line.
    std::string data;
    char last = '\n';
    if (regular && before > 0 && !bytes.empty() && pread(fd, &last, 1, before - 1) == 1 &&
        last != '\n')
        data.push_back('\n');
    data += bytes;
    size_t written = 0;
    bool ok = WriteAll(fd, data.data(), data.size(), written);
    if (!ok) {
        cause = std::strerror(errno);
        // Half a line is worse than none: the file ends where it ended before.
        if (regular && written > 0 && ftruncate(fd, before) != 0)
            cause += " (and the part written could not be taken back: " +
                     std::string(std::strerror(errno)) + ")";
    }
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

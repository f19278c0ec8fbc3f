#include "Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ipserial {

namespace {

IoStatus ErrnoStatus(int e) {
    if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) return IoStatus::WouldBlock;
    if (e == ECONNRESET || e == EPIPE || e == ENOTCONN || e == ECONNABORTED || e == ETIMEDOUT)
        return IoStatus::Closed;
    return IoStatus::Failed;
}

} // namespace

ConnectResult ConnectResultOf(int e) {
    switch (e) {
    case ECONNREFUSED:
        return ConnectResult::Refused;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
        return ConnectResult::Unreachable;
    case ETIMEDOUT:
        return ConnectResult::TimedOut;
    case ECONNRESET:
    case ECONNABORTED:
        return ConnectResult::Reset;
    default:
        return ConnectResult::Failed;
    }
}

bool IsWake(intptr_t wake) {
    return wake >= 0 && wake <= INT_MAX;
}

bool WakeReady(intptr_t wake) {
    if (!IsWake(wake)) return false;
    pollfd p{static_cast<int>(wake), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool NetStartup() {
    return true;
}
void NetCleanup() {}

ConnectResult TcpSocket::Connect(uint32_t ipv4, uint16_t port, int timeoutMs, intptr_t abort) {
    Close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) return ConnectResult::Failed;
    handle_ = fd;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(ipv4);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return ConnectResult::Connected;
    if (errno != EINPROGRESS) {
        ConnectResult r = ConnectResultOf(errno);
        Close();
        return r;
    }
    // A signal ends the poll early; the wait goes on to the same deadline, not a fresh timeout.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // poll leaves out an entry with a negative descriptor: no wake-up, one entry in effect.
    pollfd p[2] = {{fd, POLLOUT, 0}, {IsWake(abort) ? static_cast<int>(abort) : -1, POLLIN, 0}};
    int n;
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        n = ::poll(p, 2, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n >= 0 || errno != EINTR) break;
    }
    if (n > 0 && (p[1].revents & POLLIN) && !(p[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
        Close();
        return ConnectResult::Aborted;
    }
    if (n == 0) {
        Close();
        return ConnectResult::TimedOut;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (n < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
        Close();
        return ConnectResultOf(err);
    }
    return ConnectResult::Connected;
}

bool TcpSocket::Adopt(intptr_t handle) {
    Close();
    const int fd = static_cast<int>(handle);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    // Fails harmlessly on a stream that is not TCP (a socket pair).
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    handle_ = handle;
    return true;
}

IoResult TcpSocket::Send(const uint8_t* data, size_t size) {
    // MSG_NOSIGNAL: a peer that has gone must give EPIPE here, not kill the host process.
    ssize_t n = ::send(static_cast<int>(handle_), data, size, MSG_NOSIGNAL);
    if (n >= 0) return {IoStatus::Ok, static_cast<size_t>(n)};
    return {ErrnoStatus(errno), 0};
}

IoResult TcpSocket::Receive(uint8_t* data, size_t size) {
    ssize_t n = ::recv(static_cast<int>(handle_), data, size, 0);
    if (n > 0) return {IoStatus::Ok, static_cast<size_t>(n)};
    if (n == 0) return {IoStatus::Closed, 0};
    return {ErrnoStatus(errno), 0};
}

int TcpSocket::Wait(bool read, bool write, int timeoutMs) {
    pollfd p{static_cast<int>(handle_),
             static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0};
    int n = ::poll(&p, 1, timeoutMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    int ready = 0;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) ready |= read ? kReadable : 0;
    if (p.revents & (POLLOUT | POLLERR)) ready |= write ? kWritable : 0;
    if ((p.revents & POLLNVAL) != 0) return -1;
    return ready;
}

int TcpSocket::WaitOrAbort(bool read, bool write, int timeoutMs, intptr_t abort) {
    pollfd p[2] = {{static_cast<int>(handle_),
                    static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0},
                   {IsWake(abort) ? static_cast<int>(abort) : -1, POLLIN, 0}};
    int n = ::poll(p, 2, timeoutMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    if ((p[0].revents & POLLNVAL) != 0) return -1;
    if (p[1].revents & POLLIN) return kAborted;
    int ready = 0;
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) ready |= read ? kReadable : 0;
    if (p[0].revents & (POLLOUT | POLLERR)) ready |= write ? kWritable : 0;
    return ready;
}

int TcpSocket::Wait(bool read, bool write, int timeoutMs, Notifier& wake) {
    pollfd p[2] = {{static_cast<int>(handle_),
                    static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0},
                   {static_cast<int>(wake.Native()), POLLIN, 0}};
    int n = ::poll(p, 2, timeoutMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    if (p[1].revents & POLLIN) wake.Take();
    int ready = 0;
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) ready |= read ? kReadable : 0;
    if (p[0].revents & (POLLOUT | POLLERR)) ready |= write ? kWritable : 0;
    if ((p[0].revents & POLLNVAL) != 0) return -1;
    return ready;
}

void TcpSocket::ShutdownSend() {
    if (IsOpen()) ::shutdown(static_cast<int>(handle_), SHUT_WR);
}

void TcpSocket::Close() {
    if (IsOpen()) ::close(static_cast<int>(handle_));
    handle_ = kInvalid;
}

Notifier::Notifier() : handle_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Notifier::~Notifier() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void Notifier::Raise() {
    uint64_t one = 1;
    if (handle_ >= 0 && ::write(static_cast<int>(handle_), &one, sizeof one) < 0) {
        // The counter cannot overflow in practice; a failed raise leaves it raised anyway.
    }
}

void Notifier::Take() {
    uint64_t v;
    if (handle_ >= 0 && ::read(static_cast<int>(handle_), &v, sizeof v) < 0) {
        // Not raised: nothing to take.
    }
}

bool Notifier::Wait(intptr_t extra, int timeoutMs) {
    // Descriptor 0 is a wake-up like any other; a negative entry is left out by poll.
    const bool hasExtra = IsWake(extra);
    pollfd p[2] = {{static_cast<int>(handle_), POLLIN, 0},
                   {hasExtra ? static_cast<int>(extra) : -1, POLLIN, 0}};
    int n = ::poll(p, 2, timeoutMs);
    if (n > 0 && (p[0].revents & POLLIN)) {
        uint64_t v;
        if (::read(static_cast<int>(handle_), &v, sizeof v) < 0) {
            // Taken by nobody else; nothing to do.
        }
    }
    return n > 0 && hasExtra && (p[1].revents & POLLIN);
}

} // namespace ipserial

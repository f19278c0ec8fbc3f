#include "Socket.h"

// winsock2.h must come before anything that pulls in windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>

namespace ipserial {

namespace {

IoStatus WsaStatus(int e) {
    if (e == WSAEWOULDBLOCK || e == WSAEINTR || e == WSAEINPROGRESS) return IoStatus::WouldBlock;
    if (e == WSAECONNRESET || e == WSAECONNABORTED || e == WSAENOTCONN || e == WSAESHUTDOWN ||
        e == WSAENETRESET || e == WSAETIMEDOUT)
        return IoStatus::Closed;
    return IoStatus::Failed;
}

} // namespace

ConnectResult ConnectResultOf(int e) {
    switch (e) {
    case WSAECONNREFUSED:
        return ConnectResult::Refused;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case WSAEHOSTDOWN:
        return ConnectResult::Unreachable;
    case WSAETIMEDOUT:
        return ConnectResult::TimedOut;
    case WSAECONNRESET:
    case WSAECONNABORTED:
        return ConnectResult::Reset;
    default:
        return ConnectResult::Failed;
    }
}

namespace {

SOCKET Handle(intptr_t h) {
    return static_cast<SOCKET>(h);
}

timeval Timeout(int ms) {
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

int Clamp(size_t size) {
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

} // namespace

bool IsWake(intptr_t wake) {
    return wake != 0 && wake != kNoWake;
}

bool WakeReady(intptr_t wake) {
    return IsWake(wake) && WaitForSingleObject(reinterpret_cast<HANDLE>(wake), 0) == WAIT_OBJECT_0;
}

bool NetStartup() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (data.wVersion != MAKEWORD(2, 2)) {
        WSACleanup();
        return false;
    }
    return true;
}

void NetCleanup() {
    WSACleanup();
}

ConnectResult TcpSocket::Connect(uint32_t ipv4, uint16_t port, int timeoutMs, intptr_t abort) {
    Close();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return ConnectResult::Failed;
    handle_ = static_cast<intptr_t>(s);
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        Close();
        return ConnectResult::Failed;
    }
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(ipv4);
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return ConnectResult::Connected;
    int e = WSAGetLastError();
    if (e != WSAEWOULDBLOCK) {
        Close();
        return ConnectResultOf(e);
    }
    if (IsWake(abort)) {
        // select cannot wait on the caller's event: the connect's outcome sets an event of its
        // own, and the wait ends on either. The association ends before select looks.
        WSAEVENT ev = WSACreateEvent();
        if (ev == WSA_INVALID_EVENT || WSAEventSelect(s, ev, FD_CONNECT) != 0) {
            if (ev != WSA_INVALID_EVENT) WSACloseEvent(ev);
            Close();
            return ConnectResult::Failed;
        }
        HANDLE h[2] = {ev, reinterpret_cast<HANDLE>(abort)};
        DWORD r = WaitForMultipleObjects(2, h, FALSE,
                                         timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        WSAEventSelect(s, nullptr, 0);
        WSACloseEvent(ev);
        // Ending the association leaves the socket non-blocking, as it was.
        u_long stillNonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &stillNonBlocking);
        if (r == WAIT_OBJECT_0 + 1) {
            Close();
            return ConnectResult::Aborted;
        }
        if (r != WAIT_OBJECT_0) {
            Close();
            return r == WAIT_TIMEOUT ? ConnectResult::TimedOut : ConnectResult::Failed;
        }
        timeoutMs = 0; // the outcome is there: select only reads it
    }
    // A refused connect shows in the exception set, a finished one in the write set.
    fd_set w, x;
    FD_ZERO(&w);
    FD_ZERO(&x);
    FD_SET(s, &w);
    FD_SET(s, &x);
    timeval tv = Timeout(timeoutMs);
    int n = ::select(0, nullptr, &w, &x, &tv);
    if (n == 0) {
        Close();
        return ConnectResult::TimedOut;
    }
    int err = 0;
    int len = sizeof err;
    if (n < 0 || ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
        err = WSAGetLastError();
    if (err == 0 && FD_ISSET(s, &x)) err = WSAECONNREFUSED;
    if (err != 0) {
        Close();
        return ConnectResultOf(err);
    }
    return ConnectResult::Connected;
}

bool TcpSocket::Adopt(intptr_t handle) {
    Close();
    SOCKET s = Handle(handle);
    u_long nonBlocking = 1;
    if (s == INVALID_SOCKET || ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return false;
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    handle_ = handle;
    return true;
}

IoResult TcpSocket::Send(const uint8_t* data, size_t size) {
    int n = ::send(Handle(handle_), reinterpret_cast<const char*>(data), Clamp(size), 0);
    if (n != SOCKET_ERROR) return {IoStatus::Ok, static_cast<size_t>(n)};
    return {WsaStatus(WSAGetLastError()), 0};
}

IoResult TcpSocket::Receive(uint8_t* data, size_t size) {
    int n = ::recv(Handle(handle_), reinterpret_cast<char*>(data), Clamp(size), 0);
    if (n > 0) return {IoStatus::Ok, static_cast<size_t>(n)};
    if (n == 0) return {IoStatus::Closed, 0};
    return {WsaStatus(WSAGetLastError()), 0};
}

int TcpSocket::Wait(bool read, bool write, int timeoutMs) {
    SOCKET s = Handle(handle_);
    fd_set r, w, x;
    FD_ZERO(&r);
    FD_ZERO(&w);
    FD_ZERO(&x);
    if (read) FD_SET(s, &r);
    if (write) FD_SET(s, &w);
    FD_SET(s, &x);
    timeval tv = Timeout(timeoutMs);
    int n = ::select(0, &r, &w, &x, &tv);
    if (n < 0) return -1;
    int ready = 0;
    if (FD_ISSET(s, &r) || (read && FD_ISSET(s, &x))) ready |= kReadable;
    if (FD_ISSET(s, &w)) ready |= kWritable;
    return ready;
}

int TcpSocket::WaitOrAbort(bool read, bool write, int timeoutMs, intptr_t abort) {
    if (!IsWake(abort)) return Wait(read, write, timeoutMs);
    if (WakeReady(abort)) return kAborted;
    SOCKET s = Handle(handle_);
    if (!netEvent_) {
        WSAEVENT ev = WSACreateEvent();
        if (ev == WSA_INVALID_EVENT) return -1;
        if (WSAEventSelect(s, ev, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            WSACloseEvent(ev);
            return -1;
        }
        netEvent_ = reinterpret_cast<intptr_t>(ev);
    }
    // As in the wait with a Notifier below: reset, look, then wait for an edge. An edge of what
    // this wait does not ask for (the socket writable) must not end it: like the plain wait, it
    // returns 0 only once its time is up.
    const ULONGLONG until =
        GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        WSAResetEvent(reinterpret_cast<WSAEVENT>(netEvent_));
        int ready = Wait(read, write, 0);
        if (ready != 0) return ready;
        const ULONGLONG now = GetTickCount64();
        if (timeoutMs >= 0 && now >= until) return 0;
        // The abort first: with both set, the wait names the first, and Wine sets the socket's
        // event again at once after some edges (a writable socket), which would hide the abort
        // until the time is up.
        HANDLE h[2] = {reinterpret_cast<HANDLE>(abort), reinterpret_cast<HANDLE>(netEvent_)};
        DWORD r = WaitForMultipleObjects(
            2, h, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(until - now));
        if (r == WAIT_FAILED) return -1;
        if (r == WAIT_OBJECT_0) return kAborted;
    }
}

int TcpSocket::Wait(bool read, bool write, int timeoutMs, Notifier& wake) {
    // select cannot wait on an event, so the socket's network events set one of their own. They
    // are recorded as edges (FD_READ again only after a recv): a level check with select comes
    // before the wait and after it, and the event is reset before the first check, so an edge
    // after that check ends the wait.
    SOCKET s = Handle(handle_);
    if (!netEvent_) {
        WSAEVENT ev = WSACreateEvent();
        if (ev == WSA_INVALID_EVENT) return -1;
        if (WSAEventSelect(s, ev, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            WSACloseEvent(ev);
            return -1;
        }
        netEvent_ = reinterpret_cast<intptr_t>(ev);
    }
    WSAResetEvent(reinterpret_cast<WSAEVENT>(netEvent_));
    int ready = Wait(read, write, 0);
    if (ready != 0) return ready;
    HANDLE h[2] = {reinterpret_cast<HANDLE>(netEvent_), reinterpret_cast<HANDLE>(wake.Native())};
    DWORD r = WaitForMultipleObjects(2, h, FALSE,
                                     timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (r == WAIT_FAILED) return -1;
    return Wait(read, write, 0);
}

void TcpSocket::ShutdownSend() {
    if (IsOpen()) ::shutdown(Handle(handle_), SD_SEND);
}

void TcpSocket::Close() {
    if (IsOpen()) ::closesocket(Handle(handle_));
    handle_ = kInvalid;
    if (netEvent_) WSACloseEvent(reinterpret_cast<WSAEVENT>(netEvent_));
    netEvent_ = 0;
}

Notifier::Notifier()
    : handle_(reinterpret_cast<intptr_t>(CreateEventA(nullptr, FALSE, FALSE, nullptr))) {}

Notifier::~Notifier() {
    if (handle_) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

void Notifier::Raise() {
    if (handle_) SetEvent(reinterpret_cast<HANDLE>(handle_));
}

void Notifier::Take() {
    if (handle_) ResetEvent(reinterpret_cast<HANDLE>(handle_));
}

bool Notifier::Wait(intptr_t extra, int timeoutMs) {
    HANDLE h[2] = {reinterpret_cast<HANDLE>(handle_), reinterpret_cast<HANDLE>(extra)};
    DWORD r = WaitForMultipleObjects(IsWake(extra) ? 2 : 1, h, FALSE,
                                     timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    return r == WAIT_OBJECT_0 + 1;
}

} // namespace ipserial

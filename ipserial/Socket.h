#pragma once
#include <cstddef>
#include <cstdint>

// The little of TCP that the library needs, one implementation file per platform. Sockets are
// non-blocking once connected: nothing here waits except Connect and Wait, each bounded.
namespace ipserial {

// The socket layer is reference counted: every successful NetStartup needs one NetCleanup.
bool NetStartup();
void NetCleanup();

// Why a connect failed, as far as the operator can act on it: nothing listens (Refused), no way to
// the host (Unreachable), no answer at all (TimedOut), the other end broke it off (Reset).
enum class ConnectResult { Connected, Refused, Unreachable, TimedOut, Reset, Failed, Aborted };
// The one mapping of this platform's connect error code (errno, WSAGetLastError) to a result.
ConnectResult ConnectResultOf(int systemError);
enum class IoStatus { Ok, WouldBlock, Closed, Failed };

struct IoResult {
    IoStatus status;
    size_t count; // bytes moved when status is Ok
};

enum : int { kReadable = 1, kWritable = 2 };
// What WaitOrAbort returns when the caller's wake-up ended the wait.
constexpr int kAborted = -2;

// A caller's wake-up as the entry points take it (see NSIO_NO_WAKE): whether `wake` is one. POSIX:
// any descriptor, 0 included; Win32: any handle but null.
constexpr intptr_t kNoWake = -1;
bool IsWake(intptr_t wake);
// Whether the caller's wake-up is ready, without waiting and without taking it.
bool WakeReady(intptr_t wake);

class Notifier;

class TcpSocket {
public:
    TcpSocket() = default;
    ~TcpSocket() { Close(); }
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // ipv4 in host byte order. Sets TCP_NODELAY: the link carries small records that wait for
    // a one-byte answer, and Nagle's delay would stall every one of them.
    // A ready `abort` (a caller's wake-up, looked at and never taken) ends the wait: Aborted.
    ConnectResult Connect(uint32_t ipv4, uint16_t port, int timeoutMs, intptr_t abort = kNoWake);
    // Takes over a stream socket the caller has already connected (closing it with this object),
    // made non-blocking as Connect's are. False, leaving it with the caller, when it cannot be.
    bool Adopt(intptr_t handle);
    IoResult Send(const uint8_t* data, size_t size);
    IoResult Receive(uint8_t* data, size_t size);
    // kReadable / kWritable bits that are ready (0 on timeout), or -1 on failure. A closed or
    // failed connection reads as readable, so that Receive reports it.
    int Wait(bool read, bool write, int timeoutMs);
    // The same, ended early by a ready `abort` (a caller's wake-up, left as it is): kAborted.
    int WaitOrAbort(bool read, bool write, int timeoutMs, intptr_t abort);
    // The same, ended early also by `wake` being raised (the raise is taken then; 0 is returned
    // when nothing of the socket is ready).
    int Wait(bool read, bool write, int timeoutMs, Notifier& wake);
    // Either of the two: with `wake`, or without one when it is null.
    int Wait(bool read, bool write, int timeoutMs, Notifier* wake) {
        return wake ? Wait(read, write, timeoutMs, *wake) : Wait(read, write, timeoutMs);
    }
    void ShutdownSend();
    void Close();
    bool IsOpen() const { return handle_ != kInvalid; }

private:
    static constexpr intptr_t kInvalid = -1;
    intptr_t handle_ = kInvalid;
    // Win32: the event that the socket's network events set, made by the first Wait with a wake.
    [[maybe_unused]] intptr_t netEvent_ = 0;
};

// A signal that the I/O thread raises and a caller's thread waits on, together with a wake-up of
// the caller's own (POSIX: a descriptor that becomes readable; Win32: an event handle).
class Notifier {
public:
    Notifier();
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    void Raise();
    // Until raised (the signal is taken), `extra` is ready (left as it is; not IsWake: none), or
    // timeoutMs passed. True when `extra` was ready.
    bool Wait(intptr_t extra, int timeoutMs);
    // POSIX: a descriptor readable while raised. Win32: an auto-reset event handle.
    intptr_t Native() const { return handle_; }
    void Take(); // clears a raise without waiting

private:
    intptr_t handle_;
};

} // namespace ipserial

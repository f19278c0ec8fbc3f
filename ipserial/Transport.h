#pragma once
#include "Socket.h"

#include <chrono>
#include <memory>
#include <string>

// What the Port sends and receives through: plain TCP, or TCP inside TLS (one implementation file
// per platform). The Session above it sees only bytes, in whatever pieces they arrive.
namespace ipserial {

// Where a TLS link's trust comes from. Empty file names: the system's trusted CAs, no client
// certificate.
struct TlsSettings {
    std::string host; // the name the server's certificate must carry (DNS name or IPv4 address)
    std::string caFile;
    std::string certFile;
    std::string keyFile;
};

// The same calls as TcpSocket, with the same meaning. Send and Receive may be called from two
// threads at once (a TLS transport serialises them itself); Wait only from the thread that calls
// Receive. Wait also ends, returning 0 when nothing is ready, once `wake` (when not null) is
// raised; it returns at once when bytes the transport already holds are waiting to be read.
class Transport {
public:
    virtual ~Transport() = default;
    virtual IoResult Send(const uint8_t* data, size_t size) = 0;
    virtual IoResult Receive(uint8_t* data, size_t size) = 0;
    virtual int Wait(bool read, bool write, int timeoutMs, Notifier* wake) = 0;
    virtual void ShutdownSend() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // The connection ended before the server sent a byte of the stream: a failure code of the
    // transport's own (see ipserial.h) with its cause, or 0 when the end says nothing more.
    virtual int EarlyEnd(std::string* cause) const {
        (void)cause;
        return 0;
    }
};

// A connected transport, or a negative NSIO_ failure with one line that names its cause.
struct Opened {
    std::unique_ptr<Transport> transport;
    int failure = 0;
    std::string cause;
};

using Deadline = std::chrono::steady_clock::time_point;

// TCP to ipv4:port (host byte order), then, with tls, the handshake and every check of the
// server's certificate, all before `deadline`. No byte of the caller's goes out before that. A
// ready `abort` (a caller's wake-up, never taken) ends every wait of it with NSIO_ABORTED.
Opened OpenTransport(uint32_t ipv4, uint16_t port, const TlsSettings* tls, Deadline deadline,
                     intptr_t abort = kNoWake);

// A plain link over a socket that is already connected.
std::unique_ptr<Transport> PlainTransportOver(std::unique_ptr<TcpSocket> socket);

// The TLS half, one file per platform. TlsFiles holds what the settings' files gave (the trusted
// CAs, the client certificate and its key), read and checked before any connection is made, so
// that a bad file never costs a connection nor lets a byte out.
class TlsFiles {
public:
    virtual ~TlsFiles() = default;
};

// The files read and checked; null with `failure` set (NSIO_TLS_FILES and the cause) otherwise.
std::unique_ptr<TlsFiles> LoadTlsFiles(const TlsSettings& tls, Opened* failure);

// Takes the connected socket and hands back the link once the server has been checked.
Opened StartTls(std::unique_ptr<TcpSocket> socket, const TlsSettings& tls, TlsFiles& files,
                Deadline deadline, intptr_t abort = kNoWake);

// The failure of an open that the caller's wake-up ended.
Opened AbortedOpen();

int RemainingMs(Deadline deadline);

} // namespace ipserial

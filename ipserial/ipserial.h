#pragma once
// Network serial library: a serial port of a device server reached over TCP with the Telnet
// COM-PORT-OPTION (RFC 2217). Loaded at run time; every entry point returns a signed 32-bit
// value, negative on failure.
//
// Threads: calls on different ports are independent. On one port, one thread may call
// nsio_read / nsio_write / nsio_lstatus while another calls nsio_ioctl / nsio_flowctrl /
// nsio_RTS / nsio_DTR. nsio_open and nsio_close must not overlap any other call on that port.
// nsio_read, nsio_write and nsio_lstatus never wait for the network; the control calls wait for
// the server's reply for a bounded time only.
//
// The server's replies travel in the same stream as its data, behind whatever it sent before.
// Received data is buffered up to 64 KiB; beyond that the library stops reading the connection
// until the caller reads, and a control call made meanwhile cannot see its reply and times out.
// Keep reading (from the data thread) while configuring a port that receives.

#include <stdint.h>

#if defined(_WIN32)
#define NSIO_CALL __stdcall
#define NSIO_EXPORT
#else
#define NSIO_CALL
#define NSIO_EXPORT __attribute__((visibility("default")))
#endif

// nsio_ioctl speed codes (second argument).
enum {
    NSIO_B50 = 0,
    NSIO_B75 = 1,
    NSIO_B110 = 2,
    NSIO_B134 = 3,
    NSIO_B150 = 4,
    NSIO_B300 = 5,
    NSIO_B600 = 6,
    NSIO_B1200 = 7,
    NSIO_B1800 = 8,
    NSIO_B2400 = 9,
    NSIO_B4800 = 10,
    NSIO_B7200 = 11,
    NSIO_B9600 = 12,
    NSIO_B19200 = 13,
    NSIO_B38400 = 14,
    NSIO_B57600 = 15,
    NSIO_B115200 = 16,
    NSIO_B230400 = 17,
    NSIO_B460800 = 18,
    NSIO_B921600 = 19,
};

// nsio_ioctl character format (third argument): data bits | stop bits | parity.
enum {
    NSIO_BIT_5 = 0x00,
    NSIO_BIT_6 = 0x01,
    NSIO_BIT_7 = 0x02,
    NSIO_BIT_8 = 0x03,
    NSIO_STOP_1 = 0x00,
    NSIO_STOP_2 = 0x04,
    NSIO_PARITY_NONE = 0x00,
    NSIO_PARITY_EVEN = 0x08,
    NSIO_PARITY_ODD = 0x10,
    NSIO_PARITY_MARK = 0x18,
};

// nsio_flowctrl modes.
enum {
    NSIO_FLOW_NONE = 0,
    NSIO_FLOW_HARDWARE = 3,
};

// nsio_lstatus bits.
enum {
    NSIO_LS_CTS = 0x01,
    NSIO_LS_DSR = 0x02,
    NSIO_LS_RING = 0x04,
    NSIO_LS_DCD = 0x08,
};

// Failure results.
enum {
    NSIO_BADPORT = -1,     // no such open port
    NSIO_BADPARM = -2,     // argument out of range
    NSIO_TIMEOUT = -3,     // no answer in time (connect, negotiation or the server's reply)
    NSIO_CLOSED = -4,      // connection lost
    NSIO_REFUSED = -5,     // the server answered with a setting other than the one asked for
    NSIO_CONNECTFAIL = -6, // connection refused, unreachable, or COM-PORT-OPTION declined
    NSIO_NOMEM = -7,       // out of ports, memory or threads
    NSIO_SOCKETFAIL = -8,  // the socket layer could not be started
    // nsio_open_ex over TLS only; its cause text says more.
    NSIO_TLS_UNTRUSTED = -9,    // the server's certificate does not chain to a trusted CA
    NSIO_TLS_NAME = -10,        // the certificate's subjectAltName does not name the host
    NSIO_TLS_EXPIRED = -11,     // the certificate has expired or is not yet valid
    NSIO_TLS_HANDSHAKE = -12,   // the handshake failed (no common version or cipher, an alert)
    NSIO_TLS_CLIENTCERT = -13,  // the server wants a client certificate, or refused ours
    NSIO_TLS_NOTTLS = -14,      // the server did not answer TLS (a plain port?)
    NSIO_TLS_FILES = -15,       // a CA, certificate or key file could not be used
    NSIO_TLS_UNSUPPORTED = -16, // this build has no TLS
    NSIO_ABORTED = -17, // the wake-up given to nsio_open_wake ended the open or a control call
};

// A caller's wake-up for nsio_wait and nsio_open_wake: POSIX any descriptor, 0 included; Win32 an
// event handle. This value means none (on Win32 so does a null handle, which is never an event).
#define NSIO_NO_WAKE ((intptr_t)-1)

// Our addition, for nsio_open_ex: a connection inside TLS (Linux: OpenSSL, TLS 1.2 or 1.3;
// Windows: the system's Schannel, TLS 1.2, so that only system DLLs are imported).
// The verification policy, the same on both systems and with nothing that turns it off:
// - The chain: from the server's certificate, through what the server sent, to a self-signed CA
//   that is trusted: every certificate in the PEM file `caFile` (read whole: a block in it that is
//   not a certificate refuses the file), or, when it is null or empty, the system's own (Linux:
//   OpenSSL's default store, as the distribution sets it up; Windows: the Windows certificate
//   store). Each issuer a CA (basicConstraints CA:TRUE, keyCertSign when it has a key usage)
//   within its path length; the server's certificate for server authentication (its extended key
//   usage, when it has one). Built by each system's own verifier (OpenSSL; Windows' chain engine
//   and its SSL policy), with what that leaves out checked beside it.
// - Strength: RSA keys of 2048 bits or more, EC keys of 256 bits or more, in every certificate
//   of the chain; no signature with SHA-1 or older on any but the trusted CA's.
// - The name: `host` in the subjectAltName (a DNS name, a wildcard standing for one whole
//   left-most label; or an IPv4 address as dotted text); the subject's CN does not count.
// - The dates: every certificate of the chain within its validity period.
// - The session: TLS 1.3, or TLS 1.2 with ECDHE and AES-GCM or ChaCha20-Poly1305.
// A refused certificate is named by its first fault, in OpenSSL's words on both systems.
// `certFile` and `keyFile` (PEM, both or neither, the key without a passphrase) are the client
// certificate that a server asking for one gets (on Windows the key must be RSA). `size` is
// sizeof(nsio_tls_options), so that the structure may grow.
typedef struct nsio_tls_options {
    int size;
    const char* host;
    const char* caFile;
    const char* certFile;
    const char* keyFile;
} nsio_tls_options;

#ifdef __cplusplus
extern "C" {
#endif

// Starts the socket layer (host-name lookup works afterwards). 0 on success.
NSIO_EXPORT int NSIO_CALL nsio_init(void);
// Balances one nsio_init. Ports stay open until nsio_close.
NSIO_EXPORT int NSIO_CALL nsio_end(void);
// Connects to the RFC 2217 service at a dotted IPv4 address and TCP port, and negotiates, all
// within timeoutMs (<= 0: 3000). Returns the port id (0 or more) or a negative failure.
NSIO_EXPORT int NSIO_CALL nsio_open(const char* ipaddr, int tcpPort, int timeoutMs);
// Sends what is still queued (bounded wait), closes the connection and frees the id.
NSIO_EXPORT int NSIO_CALL nsio_close(int port);
// Sets speed code and character format; returns 0 once the server has confirmed both.
NSIO_EXPORT int NSIO_CALL nsio_ioctl(int port, int baud, int mode);
// NSIO_FLOW_NONE or NSIO_FLOW_HARDWARE; returns 0 once the server has confirmed it, NSIO_TIMEOUT
// when it does not answer.
NSIO_EXPORT int NSIO_CALL nsio_flowctrl(int port, int mode);
// Copies up to len received bytes; 0 when none. Negative once the connection is lost and
// everything received before has been read.
NSIO_EXPORT int NSIO_CALL nsio_read(int port, char* buf, int len);
// Queues up to len bytes without waiting; returns how many were taken (may be fewer, or 0).
NSIO_EXPORT int NSIO_CALL nsio_write(int port, const char* buf, int len);
// 1 asserts, 0 releases. A request the server does not answer counts as made (servers cannot
// always confirm a line); a different answer is NSIO_REFUSED.
NSIO_EXPORT int NSIO_CALL nsio_DTR(int port, int on);
NSIO_EXPORT int NSIO_CALL nsio_RTS(int port, int on);
// NSIO_LS_* bits from the server's last modem state notification.
NSIO_EXPORT int NSIO_CALL nsio_lstatus(int port);
// Our addition, optional for a caller (look it up by name): waits until received bytes wait to be
// read, the connection is lost, the caller's `wake` is ready (POSIX: a descriptor that becomes
// readable, left as it is; Win32: an event handle; NSIO_NO_WAKE for none), a modem line changes
// (nsio_lstatus then tells the new state) or timeoutMs passes.
// Returns 1 with bytes waiting, NSIO_CLOSED once the connection is lost and all it brought has
// been read, else 0.
NSIO_EXPORT int NSIO_CALL nsio_wait(int port, int timeoutMs, intptr_t wake);
// Our addition, optional for a caller (look it up by name; a library with only the eleven still
// opens plain ports): nsio_open, inside TLS when `tls` is not null, and on failure one line in
// `cause` (causeSize bytes with its NUL; null or 0 for none) that says why in words. Over TLS no
// byte of the stream reaches the server's line before the handshake and the checks have passed;
// the whole open, handshake included, stays within timeoutMs. A server that speaks first is
// taken for a plain RFC 2217 port and left before our TLS greeting could reach its line.
NSIO_EXPORT int NSIO_CALL nsio_open_ex(const char* ipaddr, int tcpPort, int timeoutMs,
                                       const nsio_tls_options* tls, char* cause, int causeSize);
// Our addition, optional for a caller (look it up by name): nsio_open_ex that also ends, with
// NSIO_ABORTED and nothing left open, as soon as `wake` is ready (NSIO_NO_WAKE: never), whatever
// it waits for then: the connection, the TLS handshake or the server's negotiation. A port it
// opens keeps `wake` until nsio_close: a wait of nsio_ioctl, nsio_flowctrl, nsio_DTR or nsio_RTS
// for the server's answer then ends the same way, with NSIO_ABORTED, so `wake` must stay valid
// until then. `wake` is looked at, never taken (POSIX: not read; Win32: give a manual-reset
// event, as an auto-reset one that a wait takes is gone for the caller's other waits).
NSIO_EXPORT int NSIO_CALL nsio_open_wake(const char* ipaddr, int tcpPort, int timeoutMs,
                                         const nsio_tls_options* tls, intptr_t wake, char* cause,
                                         int causeSize);

#ifdef __cplusplus
}
#endif

// The entry points' types, for a caller that loads the library at run time and looks them up by
// name.
typedef int(NSIO_CALL* nsio_init_t)(void);
typedef int(NSIO_CALL* nsio_end_t)(void);
typedef int(NSIO_CALL* nsio_open_t)(const char* ipaddr, int tcpPort, int timeoutMs);
typedef int(NSIO_CALL* nsio_close_t)(int port);
typedef int(NSIO_CALL* nsio_ioctl_t)(int port, int baud, int mode);
typedef int(NSIO_CALL* nsio_flowctrl_t)(int port, int mode);
typedef int(NSIO_CALL* nsio_read_t)(int port, char* buf, int len);
typedef int(NSIO_CALL* nsio_write_t)(int port, const char* buf, int len);
typedef int(NSIO_CALL* nsio_DTR_t)(int port, int on);
typedef int(NSIO_CALL* nsio_RTS_t)(int port, int on);
typedef int(NSIO_CALL* nsio_lstatus_t)(int port);
typedef int(NSIO_CALL* nsio_wait_t)(int port, int timeoutMs, intptr_t wake);
typedef int(NSIO_CALL* nsio_open_ex_t)(const char* ipaddr, int tcpPort, int timeoutMs,
                                       const nsio_tls_options* tls, char* cause, int causeSize);
typedef int(NSIO_CALL* nsio_open_wake_t)(const char* ipaddr, int tcpPort, int timeoutMs,
                                         const nsio_tls_options* tls, intptr_t wake, char* cause,
                                         int causeSize);

#pragma once
#include <cstdint>
#include <string>

// The network serial library, loaded at run time: its file name and the types of its eleven entry
// points. Every entry point returns a signed 32-bit value and uses the platform API's calling
// convention.
#ifdef _WIN32
#define ZEM_NSIO_CALL __stdcall
#else
#define ZEM_NSIO_CALL
#endif

namespace zem {

#ifdef _WIN32
inline constexpr char kNetSerialLibrary[] = "ipserial.dll";
#else
inline constexpr char kNetSerialLibrary[] = "libipserial.so";
#endif

using nsio_init_t = int32_t(ZEM_NSIO_CALL*)();
using nsio_end_t = int32_t(ZEM_NSIO_CALL*)();
using nsio_open_t = int32_t(ZEM_NSIO_CALL*)(const char* address, int32_t port, int32_t timeoutMs);
using nsio_close_t = int32_t(ZEM_NSIO_CALL*)(int32_t portId);
using nsio_ioctl_t = int32_t(ZEM_NSIO_CALL*)(int32_t portId, int32_t baud, int32_t mode);
using nsio_flowctrl_t = int32_t(ZEM_NSIO_CALL*)(int32_t portId, int32_t mode);
using nsio_read_t = int32_t(ZEM_NSIO_CALL*)(int32_t portId, char* data, int32_t size);
using nsio_write_t = int32_t(ZEM_NSIO_CALL*)(int32_t portId, const char* data, int32_t size);
using nsio_DTR_t = int32_t(ZEM_NSIO_CALL*)(int32_t portId, int32_t on);
using nsio_RTS_t = int32_t(ZEM_NSIO_CALL*)(int32_t portId, int32_t on);
using nsio_lstatus_t = int32_t(ZEM_NSIO_CALL*)(int32_t portId);
// Optional, offered by our own library only: waits for received data, a lost connection or the
// caller's wake-up (a WakeEvent's Native(); kNoWake of Wake.h for none: descriptor 0 is a
// wake-up like any other), at most timeoutMs. 1 data, 0 none, negative lost.
using nsio_wait_t = int32_t(ZEM_NSIO_CALL*)(int32_t portId, int32_t timeoutMs, intptr_t wake);
// Optional, our own library only: nsio_open, inside TLS when `tls` is given, and on failure one
// line naming the cause. The structure is the library's nsio_tls_options, field for field.
struct NsioTlsOptions {
    int32_t size;
    const char* host;
    const char* caFile;
    const char* certFile;
    const char* keyFile;
};
using nsio_open_ex_t = int32_t(ZEM_NSIO_CALL*)(const char* address, int32_t port, int32_t timeoutMs,
                                               const NsioTlsOptions* tls, char* cause,
                                               int32_t causeSize);
// Optional, our own library only: nsio_open_ex that also ends, with kNsioAborted, as soon as
// `wake` (a WakeLatch's Native(); kNoWake for none) is ready, whatever the open waits for.
using nsio_open_wake_t = int32_t(ZEM_NSIO_CALL*)(const char* address, int32_t port,
                                                 int32_t timeoutMs, const NsioTlsOptions* tls,
                                                 intptr_t wake, char* cause, int32_t causeSize);
inline constexpr int32_t kNsioAborted = -17;

// Where the certificates of a tls:// port come from. Empty: the system's trusted CAs, and no
// client certificate.
struct TlsTrust {
    std::string caFile;
    std::string certFile;
    std::string keyFile;
};

// A network port inside TLS: the name its certificate must carry (as the operator wrote it, not
// the address it resolved to) and the trust.
struct NetTls {
    std::string host;
    TlsTrust trust;
};

} // namespace zem

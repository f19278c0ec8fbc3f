#pragma once
#include <cstdint>
#include <string>

// The network serial library, loaded at run time: its file name. Its interface (entry points,
// codes, TLS options) is the library's own header, ipserial.h.
namespace zem {

#ifdef _WIN32
inline constexpr char kNetSerialLibrary[] = "ipserial.dll";
#else
inline constexpr char kNetSerialLibrary[] = "libipserial.so";
#endif

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

// The exported entry points: argument checks, the table of open ports, and no exception ever
// leaving the library.
#include "ipserial.h"

#include "Port.h"
#include "PortTable.h"
#include "Protocol.h"
#include "Socket.h"

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace {

using ipserial::Port;

constexpr int kMaxPorts = 64;

std::mutex g_mutex;
std::array<std::shared_ptr<Port>, kMaxPorts> g_ports; // index = port id
int g_initCount = 0;

// A handle stays usable by a call already holding it even while nsio_close runs.
std::shared_ptr<Port> Find(int id) {
    if (id < 0 || id >= kMaxPorts) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_ports[static_cast<size_t>(id)];
}

// Strict dotted decimal: four numbers 0-255, nothing else. Host byte order.
bool ParseIpv4(const char* text, uint32_t* address) {
    if (!text) return false;
    uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *text++ != '.') return false;
        int digits = 0;
        uint32_t number = 0;
        while (*text >= '0' && *text <= '9' && digits < 4) {
            number = number * 10 + static_cast<uint32_t>(*text++ - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || number > 255) return false;
        value = (value << 8) | number;
    }
    if (*text != '\0') return false;
    *address = value;
    return true;
}

template <typename F> int Guarded(F&& f) {
    try {
        return f();
    } catch (...) {
        return NSIO_NOMEM;
    }
}

// The opened port's id, or NSIO_NOMEM with the port closed again when every id is taken.
int Register(const std::shared_ptr<Port>& port, std::string* why) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (int id = 0; id < kMaxPorts; ++id) {
            if (!g_ports[static_cast<size_t>(id)]) {
                g_ports[static_cast<size_t>(id)] = port;
                return id;
            }
        }
    }
    port->Close();
    *why = "every port of the library is in use";
    return NSIO_NOMEM;
}

template <typename F> int OnPort(int id, F&& f) {
    return Guarded([&]() -> int {
        std::shared_ptr<Port> port = Find(id);
        return port ? f(*port) : NSIO_BADPORT;
    });
}

} // namespace

extern "C" {

NSIO_EXPORT int NSIO_CALL nsio_init(void) {
    return Guarded([]() -> int {
        if (!ipserial::NetStartup()) return NSIO_SOCKETFAIL;
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_initCount;
        return 0;
    });
}

NSIO_EXPORT int NSIO_CALL nsio_end(void) {
    return Guarded([]() -> int {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_initCount == 0) return NSIO_BADPARM;
        --g_initCount;
        ipserial::NetCleanup();
        return 0;
    });
}

NSIO_EXPORT int NSIO_CALL nsio_open(const char* ipaddr, int tcpPort, int timeoutMs) {
    return nsio_open_ex(ipaddr, tcpPort, timeoutMs, nullptr, nullptr, 0);
}

NSIO_EXPORT int NSIO_CALL nsio_open_ex(const char* ipaddr, int tcpPort, int timeoutMs,
                                       const nsio_tls_options* tls, char* cause, int causeSize) {
    return nsio_open_wake(ipaddr, tcpPort, timeoutMs, tls, NSIO_NO_WAKE, cause, causeSize);
}

NSIO_EXPORT int NSIO_CALL nsio_open_wake(const char* ipaddr, int tcpPort, int timeoutMs,
                                         const nsio_tls_options* tls, intptr_t wake, char* cause,
                                         int causeSize) {
    std::string why;
    const int result = Guarded([&]() -> int {
        uint32_t address;
        if (!ParseIpv4(ipaddr, &address) || tcpPort <= 0 || tcpPort > 65535) {
            why = "not a dotted IPv4 address and TCP port";
            return NSIO_BADPARM;
        }
        std::optional<ipserial::TlsSettings> settings;
        if (tls) {
            // Fields beyond what the caller's structure holds read as empty.
            if (tls->size < static_cast<int>(sizeof(nsio_tls_options)) || !tls->host ||
                !*tls->host) {
                why = "TLS needs the server's host name";
                return NSIO_BADPARM;
            }
            auto text = [](const char* s) { return std::string(s ? s : ""); };
            settings = ipserial::TlsSettings{text(tls->host), text(tls->caFile),
                                             text(tls->certFile), text(tls->keyFile)};
        }
        const ipserial::Ms timeout =
            timeoutMs > 0 ? ipserial::Ms(timeoutMs) : ipserial::kDefaultOpenTimeout;
        auto port = std::make_shared<Port>();
        int r = port->Open(address, static_cast<uint16_t>(tcpPort), timeout,
                           settings ? &*settings : nullptr, &why, wake);
        if (r != 0) return r;
        return Register(port, &why);
    });
    if (result < 0 && cause && causeSize > 0) {
        // One line, cut to fit; never a line break of the server's making.
        size_t n = 0;
        for (char c : why) {
            if (n + 1 >= static_cast<size_t>(causeSize)) break;
            cause[n++] = (c == '\r' || c == '\n') ? ' ' : c;
        }
        cause[n] = '\0';
    }
    return result;
}

NSIO_EXPORT int NSIO_CALL nsio_close(int port) {
    return Guarded([&]() -> int {
        std::shared_ptr<Port> p;
        if (port >= 0 && port < kMaxPorts) {
            std::lock_guard<std::mutex> lock(g_mutex);
            p.swap(g_ports[static_cast<size_t>(port)]);
        }
        if (!p) return NSIO_BADPORT;
        p->Close();
        return 0;
    });
}

NSIO_EXPORT int NSIO_CALL nsio_ioctl(int port, int baud, int mode) {
    return OnPort(port, [&](Port& p) -> int { return p.Ioctl(baud, mode); });
}

NSIO_EXPORT int NSIO_CALL nsio_flowctrl(int port, int mode) {
    return OnPort(port, [&](Port& p) -> int { return p.Flow(mode); });
}

NSIO_EXPORT int NSIO_CALL nsio_read(int port, char* buf, int len) {
    return OnPort(port, [&](Port& p) -> int {
        if (len < 0 || (len > 0 && !buf)) return NSIO_BADPARM;
        return p.Read(reinterpret_cast<uint8_t*>(buf), len);
    });
}

NSIO_EXPORT int NSIO_CALL nsio_write(int port, const char* buf, int len) {
    return OnPort(port, [&](Port& p) -> int {
        if (len < 0 || (len > 0 && !buf)) return NSIO_BADPARM;
        return p.Write(reinterpret_cast<const uint8_t*>(buf), len);
    });
}

NSIO_EXPORT int NSIO_CALL nsio_DTR(int port, int on) {
    return OnPort(port, [&](Port& p) -> int { return p.Dtr(on != 0); });
}

NSIO_EXPORT int NSIO_CALL nsio_RTS(int port, int on) {
    return OnPort(port, [&](Port& p) -> int { return p.Rts(on != 0); });
}

NSIO_EXPORT int NSIO_CALL nsio_wait(int port, int timeoutMs, intptr_t wake) {
    return OnPort(port, [&](Port& p) -> int { return p.WaitData(timeoutMs, wake); });
}

NSIO_EXPORT int NSIO_CALL nsio_lstatus(int port) {
    return OnPort(port, [&](Port& p) -> int { return p.LineStatus(); });
}

} // extern "C"

namespace ipserial {

int OpenPortOver(std::unique_ptr<Transport> transport, Ms timeout, const PortTimings& timings,
                 std::string* cause, intptr_t abort) {
    std::string why;
    const int result = Guarded([&]() -> int {
        auto port = std::make_shared<Port>(timings);
        const int r = port->Start(std::move(transport), std::chrono::steady_clock::now() + timeout,
                                  &why, abort);
        if (r != 0) return r;
        return Register(port, &why);
    });
    if (result < 0 && cause) *cause = why;
    return result;
}

} // namespace ipserial

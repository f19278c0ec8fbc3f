#include "OpenChannel.h"

#include "Net.h"
#include "NetSerial.h"
#include "TDisk.h"
#include "TSerial.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <new>
#include <string_view>
#include <utility>

namespace zem {

namespace {

// Names are copied into 256-byte buffers elsewhere; anything longer opens nothing.
constexpr size_t kMaxName = 255;

bool HasPrefixNoCase(const std::string& s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

int AtoiLike(const std::string& s) {
    long v = std::strtol(s.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

} // namespace

PortNameParts ParsePortName(const std::string& portName) {
    PortNameParts parts;
    if (portName.size() > kMaxName || portName.find('\0') != std::string::npos) return parts;
    if (HasPrefixNoCase(portName, "COM") || portName.rfind("/dev/", 0) == 0) {
        parts.kind = PortNameParts::kLocal;
    } else if (HasPrefixNoCase(portName, "DISK")) {
        parts.kind = PortNameParts::kDisk;
    } else {
        const bool tls = HasPrefixNoCase(portName, "TLS://");
        const std::string address = tls ? portName.substr(6) : portName;
        size_t colon = address.find(':');
        if (colon == std::string::npos || colon + 1 == address.size()) return parts;
        parts.kind = PortNameParts::kNetwork;
        parts.tls = tls;
        parts.host = address.substr(0, colon);
        parts.port = AtoiLike(address.substr(colon + 1));
    }
    return parts;
}

namespace {
thread_local bool tAbandoned = false;
thread_local const WakeLatch* tOpenAbort = nullptr;

TChannel* Opened(TChannel* channel, std::string cause, std::string* out, bool abandoned = false) {
    if (channel) cause.clear();
    tAbandoned = abandoned;
    if (out) *out = std::move(cause);
    return channel;
}
} // namespace

ScopedOpenAbort::ScopedOpenAbort(const WakeLatch& abort) : outer_(tOpenAbort) {
    tOpenAbort = &abort;
}

ScopedOpenAbort::~ScopedOpenAbort() {
    tOpenAbort = outer_;
}

bool OpenAbandoned() {
    return tAbandoned;
}

const WakeLatch* CurrentOpenAbort() {
    return tOpenAbort;
}

TChannel* OpenChannel(const std::string& portName, int32_t levelCode, const TlsTrust& trust,
                      std::string* cause) {
    PortNameParts parts = ParsePortName(portName);
    TChannel* channel = nullptr;
    switch (parts.kind) {
    case PortNameParts::kNone:
        return Opened(nullptr, "not a port name: COMn, /dev/..., DISK or host:port", cause);
    case PortNameParts::kLocal:
        channel = new (std::nothrow) TSerial(levelCode, "COM", 0, portName.c_str(), false);
        break;
    case PortNameParts::kDisk:
        channel = new (std::nothrow) TDisk(levelCode, "DEBUG_DISK", 0);
        break;
    case PortNameParts::kNetwork: {
        std::string dotted;
        if (!LookupHostIPv4(parts.host, dotted))
            return Opened(nullptr, "host not found: " + parts.host, cause);
        const NetTls tls{parts.host, trust};
        channel = new (std::nothrow)
            TSerial(levelCode, "MOXA", 0, kNetSerialLibrary, dotted.c_str(), parts.port,
                    parts.tls ? &tls : nullptr, tOpenAbort ? tOpenAbort->Native() : kNoWake);
        break;
    }
    }
    if (!channel) return Opened(nullptr, "out of memory", cause);
    if (!channel->IsInited()) {
        std::string why;
        bool abandoned = false;
        if (channel->kind == kChannelSerial) {
            why = static_cast<TSerial*>(channel)->OpenFailure();
            abandoned = static_cast<TSerial*>(channel)->Aborted();
        }
        FreeChannel(channel);
        return Opened(nullptr, why, cause, abandoned);
    }
    // Flow control off; a refusal (a port without modem lines) does not stop the run.
    channel->Configure("", "", "N");
    return Opened(channel, {}, cause);
}

void FreeChannel(TChannel* channel) {
    if (!channel) return;
    switch (channel->kind) {
    case kChannelDisk:
        delete static_cast<TDisk*>(channel);
        break;
    case kChannelSerial:
        delete static_cast<TSerial*>(channel);
        break;
    default:
        break; // not ours to destroy
    }
}

} // namespace zem

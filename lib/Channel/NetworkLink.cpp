#include "NetworkLink.h"

#include "Format.h"
#include "IoLoop.h"
#include "Net.h"
#include "TChannel.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>

namespace {

// Why a network port was found lost: the library's failure code, named where it is ours.
const char* LostCause(int32_t code, char* buf, size_t size) {
    if (code == NSIO_CLOSED)
        std::snprintf(buf, size, "connection to the server lost (NSIO_CLOSED)");
    else
        std::snprintf(buf, size, "connection to the server lost (%d)", static_cast<int>(code));
    return buf;
}

// Pass interval of a network port whose library cannot wait for arrivals.
constexpr uint32_t kNetPollMs = 2;
constexpr int32_t kOpenTimeoutMs = 3000;
constexpr uint32_t kDefaultBaud = NSIO_B115200;
constexpr uint32_t kDefaultMode = NSIO_BIT_8 | NSIO_PARITY_NONE | NSIO_STOP_1;

// Speed codes of the network library; any other rate gets the 115200 code.
uint32_t BaudCode(int32_t speed) {
    static constexpr struct {
        int32_t speed;
        uint32_t code;
    } kCodes[] = {{50, NSIO_B50},         {75, NSIO_B75},         {110, NSIO_B110},
                  {134, NSIO_B134},       {150, NSIO_B150},       {300, NSIO_B300},
                  {600, NSIO_B600},       {1200, NSIO_B1200},     {2400, NSIO_B2400},
                  {4800, NSIO_B4800},     {7200, NSIO_B7200},     {9600, NSIO_B9600},
                  {19200, NSIO_B19200},   {38400, NSIO_B38400},   {57600, NSIO_B57600},
                  {115200, NSIO_B115200}, {230400, NSIO_B230400}, {460800, NSIO_B460800},
                  {921600, NSIO_B921600}};
    for (const auto& c : kCodes)
        if (c.speed == speed) return c.code;
    return kDefaultBaud;
}

uint32_t ModeOf(const char* text) {
    if (!text) return kDefaultMode;
    FormatChars f = SplitFormat(text);
    uint32_t mode = 0;
    switch (f.parity) {
    case 'E':
        mode = NSIO_PARITY_EVEN;
        break;
    case 'M':
        mode = NSIO_PARITY_MARK;
        break;
    case 'O':
        mode = NSIO_PARITY_ODD;
        break;
    default:
        mode = NSIO_PARITY_NONE;
        break;
    }
    switch (f.data) {
    case '5':
        mode |= NSIO_BIT_5;
        break;
    case '6':
        mode |= NSIO_BIT_6;
        break;
    case '7':
        mode |= NSIO_BIT_7;
        break;
    default:
        mode |= NSIO_BIT_8;
        break;
    }
    if (f.stop == '2') mode |= NSIO_STOP_2;
    return mode;
}

} // namespace

// Why nsio_open failed, in the terms of the ipserial library we ship; other libraries' codes are
// reported by number only.
const char* NetworkLink::OpenFailureText(int32_t code) {
    switch (code) {
    case NSIO_TIMEOUT:
        return "no answer from the server";
    case NSIO_CLOSED:
        return "connection lost";
    case NSIO_REFUSED:
        return "setting refused by the server";
    case NSIO_CONNECTFAIL:
        return "connection refused, or COM-PORT declined by the server";
    case NSIO_NOMEM:
        return "out of resources";
    case NSIO_SOCKETFAIL:
        return "socket layer not started";
    case NSIO_TLS_UNTRUSTED:
        return "the server's certificate is not trusted";
    case NSIO_TLS_NAME:
        return "the server's certificate is not for this host";
    case NSIO_TLS_EXPIRED:
        return "the server's certificate has expired or is not yet valid";
    case NSIO_TLS_HANDSHAKE:
        return "the TLS handshake failed";
    case NSIO_TLS_CLIENTCERT:
        return "the server requires a client certificate, or refused ours";
    case NSIO_TLS_NOTTLS:
        return "the server did not answer TLS";
    case NSIO_TLS_FILES:
        return "a CA, certificate or key file could not be used";
    case NSIO_TLS_UNSUPPORTED:
        return "TLS is not supported by the network library";
    case NSIO_ABORTED:
        return "the open was abandoned";
    default:
        return "refused by the library";
    }
}

NetworkLink::~NetworkLink() {
    if (portId_ >= 0) {
        nsio_.close(portId_);
        nsio_.end();
        portId_ = -1;
    }
    library_.Unload();
}

bool NetworkLink::ResolveEntryPoints() {
    auto get = [this](auto& fn, const char* symbol) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(library_.Symbol(symbol));
        return fn != nullptr;
    };
    return get(nsio_.init, "nsio_init") && get(nsio_.end, "nsio_end") &&
           get(nsio_.open, "nsio_open") && get(nsio_.close, "nsio_close") &&
           get(nsio_.ioctl, "nsio_ioctl") && get(nsio_.flowctrl, "nsio_flowctrl") &&
           get(nsio_.read, "nsio_read") && get(nsio_.write, "nsio_write") &&
           get(nsio_.DTR, "nsio_DTR") && get(nsio_.RTS, "nsio_RTS") &&
           get(nsio_.lstatus, "nsio_lstatus");
}

bool NetworkLink::Open(const std::string& libraryFile, const char* address, int32_t port,
                       const zem::NetTls* tls, intptr_t abort, std::string& failure,
                       bool& aborted) {
    std::string path = zem::FindLibraryFile(libraryFile);
    if (path.empty()) {
        report_.Log(3, "TSerial::TSerial - Can not open DLL");
        std::string folders;
        for (const std::string& folder : zem::LibrarySearchFolders(libraryFile))
            folders += (folders.empty() ? " in " : ", ") + folder;
        failure = "network library " + libraryFile + " not found" + folders;
        return false;
    }
    if (!library_.Load(path)) {
        report_.Log(3, "TSerial::TSerial - Can not load DLL");
        failure = "network library " + path + " does not load: " + library_.LoadError();
        return false;
    }
    if (!ResolveEntryPoints()) {
        // None of them may be called: the destructor looks at portId_, which stays -1.
        report_.Log(3, "TSerial::TSerial - Can not import function from dll");
        failure = "network library " + path + " lacks one of its functions";
        return false;
    }
    // Not one of the eleven: a library without it keeps the plain pass loop.
    nsio_.wait = reinterpret_cast<nsio_wait_t>(library_.Symbol("nsio_wait"));
    // Not one of the eleven either: a library without it opens plain ports only.
    auto openEx = reinterpret_cast<nsio_open_ex_t>(library_.Symbol("nsio_open_ex"));
    // Nor this: without it an open runs to its own end whatever the caller wants.
    auto openWake = reinterpret_cast<nsio_open_wake_t>(library_.Symbol("nsio_open_wake"));
    nsio_.init();
    if (!zem::LookupHostIPv4(address ? address : "", dotted_)) {
        report_.Log(3, "TSerial::TSerial - Function gethostbyname fail");
        failure = std::string("host not found: ") + (address ? address : "");
        return false;
    }
    int32_t id;
    char cause[256] = "";
    if (tls && !openEx && !openWake) {
        id = -1;
        std::snprintf(cause, sizeof cause, "the network library %s offers no TLS", path.c_str());
    } else if (openEx || openWake) {
        nsio_tls_options options{static_cast<int>(sizeof options), nullptr, nullptr, nullptr,
                                 nullptr};
        if (tls) {
            options.host = tls->host.c_str();
            options.caFile = tls->trust.caFile.c_str();
            options.certFile = tls->trust.certFile.c_str();
            options.keyFile = tls->trust.keyFile.c_str();
        }
        id = openWake ? openWake(dotted_.c_str(), port, kOpenTimeoutMs, tls ? &options : nullptr,
                                 abort, cause, static_cast<int32_t>(sizeof cause))
                      : openEx(dotted_.c_str(), port, kOpenTimeoutMs, tls ? &options : nullptr,
                               cause, static_cast<int32_t>(sizeof cause));
    } else {
        id = nsio_.open(dotted_.c_str(), port, kOpenTimeoutMs);
    }
    if (id < 0) {
        aborted = openWake && id == NSIO_ABORTED;
        report_.Log(3, "TSerial::TSerial - Bad IPPortId");
        report_.Log(3, zem::Format("TSerial::TSerial - nsio_open %d: %s", id, OpenFailureText(id)));
        // Our library says more than its code does.
        failure = cause[0] ? cause : OpenFailureText(id);
        if (cause[0]) report_.Log(3, "TSerial::TSerial - " + failure);
        return false;
    }
    portId_ = id;
    return true;
}

void NetworkLink::UseDefaults() {
    baud_ = kDefaultBaud;
    mode_ = kDefaultMode;
}

bool NetworkLink::ApplyLink() {
    const int32_t r = portId_ < 0 ? -1
                                  : nsio_.ioctl(portId_, static_cast<int32_t>(baud_),
                                                static_cast<int32_t>(mode_));
    if (r == 0) return true;
    abortAnswered_ = abortAnswered_ || r == NSIO_ABORTED;
    report_.Log(3, "TSerial::Configure -3");
    return false;
}

int NetworkLink::SetSpeed(int32_t speed) {
    baud_ = BaudCode(speed);
    return ApplyLink() ? 0 : -1;
}

int NetworkLink::SetFormat(const char* text) {
    mode_ = ModeOf(text);
    return ApplyLink() ? 0 : -1;
}

int NetworkLink::SetFlow(bool hardware) {
    const int32_t r =
        portId_ < 0 ? -1 : nsio_.flowctrl(portId_, hardware ? NSIO_FLOW_HARDWARE : NSIO_FLOW_NONE);
    if (r == 0) return 0;
    abortAnswered_ = abortAnswered_ || r == NSIO_ABORTED;
    report_.Log(3, "TSerial::SetFlow - Can not SetCommState -13");
    return -1;
}

bool NetworkLink::SetLine(uint32_t line, bool on) {
    if (portId_ < 0) return false;
    const int32_t level = on ? 1 : 0;
    return (line == kLineRTS ? nsio_.RTS(portId_, level) : nsio_.DTR(portId_, level)) == 0;
}

void NetworkLink::Serve(RingBlock& rings, const std::atomic<bool>& stop) {
    RingBlock* r = &rings;
    const int32_t id = portId_;
    bool lost = false;
    auto markLost = [&](int32_t code) {
        char cause[64];
        r->MarkLost(LostCause(code, cause, sizeof cause));
        lost = true;
        return false;
    };
    ioloop::Run(stop, [&](int guardMs) {
        // A library may answer "nothing" to a read of a dead connection; the line status it
        // cannot give is what tells that the port is gone (after what it still holds is read).
        const int32_t s = nsio_.lstatus(id);
        if (s >= 0) {
            uint32_t in = 0;
            if (s & NSIO_LS_CTS) in |= kLineCTS;
            if (s & NSIO_LS_DSR) in |= kLineDSR;
            if (s & NSIO_LS_RING) in |= kLineRING;
            if (s & NSIO_LS_DCD) in |= kLineDCD;
            r->SetInputLines(in);
        }

        // Everything the library holds, up to a full ring. A library that reports more than it
        // was offered must not move the indices past it.
        uint32_t free = 0;
        bool readOut = false; // the library had no more to give
        for (;;) {
            uint8_t* room = nullptr;
            free = r->RxRoom(&room);
            if (free == 0) break;
            int32_t k = nsio_.read(id, reinterpret_cast<char*>(room), static_cast<int32_t>(free));
            if (k <= 0) {
                readOut = true;
                break;
            }
            r->RxProduced(std::min(static_cast<uint32_t>(k), free));
        }
        // A connection that is gone may still have left bytes in the library (the last answer,
        // say): the port is lost only once they are all in the ring. Until then a full ring waits
        // for the reader, as it would with the connection alive.
        if (s < 0 && readOut) return markLost(s);

        // Everything queued, as far as the library takes it.
        bool libraryFull = false;
        for (;;) {
            const uint8_t* piece = nullptr;
            uint32_t waiting = r->TxPiece(&piece);
            if (waiting == 0) break;
            int32_t k = nsio_.write(id, reinterpret_cast<const char*>(piece),
                                    static_cast<int32_t>(waiting));
            if (k > 0) r->TxConsumed(std::min(static_cast<uint32_t>(k), waiting));
            if (k <= 0 || static_cast<uint32_t>(k) < waiting) {
                libraryFull = true;
                break;
            }
        }

        // Without the library's wait nothing tells of an arrival: look again after a pass
        // interval. With it, sleep until bytes arrive, the connection goes, or txWake (Write,
        // PurgeTx, a Read that frees a full ring, the stop request); a full receive ring waits on
        // txWake alone, as the library's wait would return at once. Bytes the library would not
        // take are offered again after a pass interval: it does not tell when it has room.
        const uint32_t sleepMs =
            libraryFull || !nsio_.wait ? kNetPollMs : static_cast<uint32_t>(guardMs);
        if (nsio_.wait && free > 0) {
            int32_t w = nsio_.wait(id, static_cast<int32_t>(sleepMs), r->txWake.Native());
            r->txWake.Clear();
            if (w < 0) return markLost(w);
        } else {
            r->txWake.Wait(sleepMs);
        }
        return true;
    });
    if (lost)
        ioloop::IdleUntilStopped(stop, [&](int ms) { r->txWake.Wait(static_cast<uint32_t>(ms)); });
}

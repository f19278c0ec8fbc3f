#include "TSerial.h"

#include "Format.h"
#include "Net.h"
#include "OpenCause.h"
#include "Tick.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>
#include <type_traits>

namespace {

// Why nsio_open failed, in the terms of the ipserial library we ship; other libraries' codes are
// reported by number only.
const char* NetOpenFailure(int32_t code) {
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

// Why a network port was found lost: the library's failure code, named where it is ours.
const char* NetLostCause(int32_t code, char* buf, size_t size) {
    if (code == NSIO_CLOSED)
        std::snprintf(buf, size, "connection to the server lost (NSIO_CLOSED)");
    else
        std::snprintf(buf, size, "connection to the server lost (%d)", static_cast<int>(code));
    return buf;
}

constexpr uint32_t kQueueSize = 8192;
constexpr uint32_t kSmallQueueSize = 90;
// Longest sleep of the service thread when nothing happens; every event it serves wakes it
// earlier. Only a signal lost to a platform fault could make a transfer wait this long.
constexpr uint32_t kGuardMs = 1000;
// A transfer that failed without the port being lost is tried again after this.
constexpr uint32_t kRetryMs = 2;
// Pass interval of a network port whose library cannot wait for arrivals.
constexpr uint32_t kNetPollMs = 2;
constexpr int32_t kOpenTimeoutMs = 3000;
constexpr uint32_t kDefaultNetBaud = NSIO_B115200;
constexpr uint32_t kDefaultNetMode = NSIO_BIT_8 | NSIO_PARITY_NONE | NSIO_STOP_1;

// Leading decimal number as atoi reads it, but saturating instead of overflowing.
int32_t LeadingNumber(const char* text) {
    if (!text) return 0;
    long v = std::strtol(text, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long>(v, INT32_MIN, INT32_MAX));
}

// Speed codes of the network library; any other rate gets the 115200 code.
uint32_t NetBaudCode(int32_t speed) {
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
    return kDefaultNetBaud;
}

// The three characters of a format text; a missing character reads as NUL, never past the end.
struct FormatChars {
    char parity, data, stop;
};

FormatChars SplitFormat(const char* text) {
    FormatChars f{text[0], 0, 0};
    if (f.parity) f.data = text[1];
    if (f.data) f.stop = text[2];
    return f;
}

uint32_t NetModeOf(const char* text) {
    if (!text) return kDefaultNetMode;
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

bool TSerial::InitContext(bool network) {
    inited = false;
    kind = kChannelSerial;
    context.reset(new (std::nothrow) SerialThreadContext());
    if (!context || !Rings()) {
        Log(3, "TSerial::TSerial - HeapAlloc Error");
        return false;
    }
    // Without its wake-up the service thread could only spin.
    if (!HasRings()) {
        Log(3, "TSerial::TSerial - CreateEvent Error");
        return false;
    }
    context->rings = Rings();
    context->portId = -1;
    context->network = network;
    context->pollMs = kGuardMs;
    return true;
}

bool TSerial::StartThread() {
    // The transfer records are made here rather than in the thread, so that a platform that
    // cannot make them fails the open instead of the process.
    if (!context->network && !context->port.PrepareTransfers()) return false;
    try {
        thread = std::thread(SerialThread, context.get());
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

TSerial::TSerial(int32_t reportLevel, const char* name, uint8_t opt, const char* portName,
                 bool smallBuffers)
    : TChannel(reportLevel, name, opt) {
    if (!InitContext(false)) return;
    const std::string port = portName ? portName : "";
    zem::SerialPort& p = context->port;
    if (!p.Open(port)) {
        Error(4, "TSerial::TSerial - Cannot open Communication Port " + port);
        openFailure = zem::OpenFailureCause(p.OpenError(), port);
        return;
    }
    const uint32_t queue = smallBuffers ? kSmallQueueSize : kQueueSize;
    p.SetQueueSizes(queue, queue);
    uint32_t waiting = 0;
    p.ClearErrors(&waiting);
    zem::SerialSettings s;
    if (!p.GetSettings(s)) {
        Log(3, "TSerial::TSerial - GetCommState Error");
        return;
    }
    s.binary = true;
    s.outxDsrFlow = false;
    s.dtrControl = zem::SerialSettings::kLineEnable;
    s.dsrSensitivity = false;
    s.txContinueOnXoff = true;
    s.errorChar = false;
    s.nullStrip = false;
    s.abortOnError = false;
    if (!p.SetSettings(s)) {
        Log(3, "TSerial::TSerial - SetCommState Error");
        return;
    }
    p.AbortTransfers();
    if (!StartThread()) {
        Log(3, "TSerial::TSerial - CreateThread Error");
        return;
    }
    OpenWithDefaults();
}

bool TSerial::ResolveEntryPoints() {
    auto get = [this](auto& fn, const char* symbol) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(library.Symbol(symbol));
        return fn != nullptr;
    };
    return get(nsio_init, "nsio_init") && get(nsio_end, "nsio_end") &&
           get(nsio_open, "nsio_open") && get(nsio_close, "nsio_close") &&
           get(nsio_ioctl, "nsio_ioctl") && get(nsio_flowctrl, "nsio_flowctrl") &&
           get(nsio_read, "nsio_read") && get(nsio_write, "nsio_write") &&
           get(nsio_DTR, "nsio_DTR") && get(nsio_RTS, "nsio_RTS") &&
           get(nsio_lstatus, "nsio_lstatus");
}

TSerial::TSerial(int32_t reportLevel, const char* name, uint8_t opt, const char* libraryName,
                 const char* address, int32_t port, const zem::NetTls* tls, intptr_t abort)
    : TChannel(reportLevel, name, opt) {
    if (!InitContext(true)) return;
    const std::string libraryFile = libraryName ? libraryName : "";
    std::string path = zem::FindLibraryFile(libraryFile);
    if (path.empty()) {
        Log(3, "TSerial::TSerial - Can not open DLL");
        std::string folders;
        for (const std::string& folder : zem::LibrarySearchFolders(libraryFile))
            folders += (folders.empty() ? " in " : ", ") + folder;
        openFailure = "network library " + libraryFile + " not found" + folders;
        return;
    }
    if (!library.Load(path)) {
        Log(3, "TSerial::TSerial - Can not load DLL");
        openFailure = "network library " + path + " does not load: " + library.LoadError();
        return;
    }
    if (!ResolveEntryPoints()) {
        // None of them may be called: the destructor looks at portId, which stays -1.
        Log(3, "TSerial::TSerial - Can not import function from dll");
        openFailure = "network library " + path + " lacks one of its functions";
        return;
    }
    context->nsio_read = nsio_read;
    context->nsio_write = nsio_write;
    context->nsio_lstatus = nsio_lstatus;
    // Not one of the eleven: a library without it keeps the plain pass loop.
    context->nsio_wait = reinterpret_cast<nsio_wait_t>(library.Symbol("nsio_wait"));
    // Not one of the eleven either: a library without it opens plain ports only.
    auto openEx = reinterpret_cast<nsio_open_ex_t>(library.Symbol("nsio_open_ex"));
    // Nor this: without it an open runs to its own end whatever the caller wants.
    auto openWake = reinterpret_cast<nsio_open_wake_t>(library.Symbol("nsio_open_wake"));
    context->pollMs = context->nsio_wait ? kGuardMs : kNetPollMs;
    nsio_init();
    std::string dotted;
    if (!zem::LookupHostIPv4(address ? address : "", dotted)) {
        Log(3, "TSerial::TSerial - Function gethostbyname fail");
        openFailure = std::string("host not found: ") + (address ? address : "");
        return;
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
        id = openWake ? openWake(dotted.c_str(), port, kOpenTimeoutMs, tls ? &options : nullptr,
                                 abort, cause, static_cast<int32_t>(sizeof cause))
                      : openEx(dotted.c_str(), port, kOpenTimeoutMs, tls ? &options : nullptr,
                               cause, static_cast<int32_t>(sizeof cause));
    } else {
        id = nsio_open(dotted.c_str(), port, kOpenTimeoutMs);
    }
    if (id < 0) {
        aborted = openWake && id == NSIO_ABORTED;
        Log(3, "TSerial::TSerial - Bad IPPortId");
        Log(3, zem::Format("TSerial::TSerial - nsio_open %d: %s", id, NetOpenFailure(id)));
        // Our library says more than its code does.
        openFailure = cause[0] ? cause : NetOpenFailure(id);
        if (cause[0]) Log(3, "TSerial::TSerial - " + openFailure);
        return;
    }
    context->portId = id;
    if (!StartThread()) {
        Log(3, "TSerial::TSerial - CreateThread Error");
        return;
    }
    // Configure refuses a channel that is not inited.
    inited = true;
    netBaud = kDefaultNetBaud;
    netMode = kDefaultNetMode;
    if (Configure("115200", "N81", "H")) {
        inited = false;
        aborted = abortAnswered;
        openFailure =
            aborted ? NetOpenFailure(NSIO_ABORTED) : "the server did not take the port's settings";
        return;
    }
    Log(3, zem::Format("Port %s:%d opened", dotted.c_str(), port));
}

TSerial::~TSerial() {
    if (context) {
        context->stop.store(true, std::memory_order_release);
        if (context->rings) context->rings->txWake.Signal();
        if (thread.joinable()) thread.join();
        context->port.Close();
        if (context->portId >= 0) {
            nsio_close(context->portId);
            nsio_end();
            context->portId = -1;
        }
        context.reset();
    }
    library.Unload();
    inited = false;
}

// A speed change and a format change each send both values to the server.
bool TSerial::NetApplyLink() {
    const int32_t r = context->portId < 0
                          ? -1
                          : nsio_ioctl(context->portId, static_cast<int32_t>(netBaud),
                                       static_cast<int32_t>(netMode));
    if (r == 0) return true;
    abortAnswered = abortAnswered || r == NSIO_ABORTED;
    Log(3, "TSerial::Configure -3");
    return false;
}

int TSerial::SetSpeed(const char* text) {
    if (!context) return -1;
    const int32_t value = LeadingNumber(text);
    if (context->network) {
        netBaud = NetBaudCode(value);
        if (!NetApplyLink()) return -1;
    } else {
        zem::SerialSettings s;
        if (!context->port.GetSettings(s)) {
            Log(3, "TSerial::Configure - Can not GetCommState -4");
            return -1;
        }
        s.baudRate = static_cast<uint32_t>(value);
        if (!context->port.SetSettings(s)) {
            Log(3, "TSerial::Configure - Can not SetCommState -5");
            return -2;
        }
    }
    SetLines(static_cast<int>(Rings()->lineState.load(std::memory_order_acquire)));
    return 0;
}

int TSerial::SetFormat(const char* text) {
    if (!context) return -1;
    if (context->network) {
        netMode = NetModeOf(text);
        if (!NetApplyLink()) return -1;
    } else {
        zem::SerialSettings s;
        if (!context->port.GetSettings(s)) {
            Log(3, "TSerial::Configure - Can not GetCommState -8");
            return -1;
        }
        FormatChars f = text ? SplitFormat(text) : FormatChars{'N', '8', '1'};
        switch (f.parity) {
        case 'E':
            s.parity = zem::SerialSettings::kEvenParity;
            break;
        case 'M':
            s.parity = zem::SerialSettings::kMarkParity;
            break;
        case 'O':
            s.parity = zem::SerialSettings::kOddParity;
            break;
        default:
            s.parity = zem::SerialSettings::kNoParity;
            break;
        }
        s.byteSize = f.data - '0'; // unchecked: the driver refuses what it cannot do
        s.stopBits =
            f.stop == '2' ? zem::SerialSettings::kTwoStopBits : zem::SerialSettings::kOneStopBit;
        if (!context->port.SetSettings(s)) {
            Log(3, "TSerial::Configure - Can not SetCommState -9");
            return -2;
        }
    }
    SetLines(static_cast<int>(Rings()->lineState.load(std::memory_order_acquire)));
    return 0;
}

int TSerial::SetFlow(const char* text) {
    if (!context) return -1;
    const char first = text ? text[0] : 0;
    if (context->network) {
        const int32_t r = context->portId < 0
                              ? -1
                              : nsio_flowctrl(context->portId,
                                              first == 'H' ? NSIO_FLOW_HARDWARE : NSIO_FLOW_NONE);
        if (r != 0) {
            abortAnswered = abortAnswered || r == NSIO_ABORTED;
            Log(3, "TSerial::SetFlow - Can not SetCommState -13");
            return -1;
        }
    } else {
        zem::SerialSettings s;
        if (!context->port.GetSettings(s)) {
            Log(3, "TSerial::SetFlow - Can not GetCommState -12");
            return -1;
        }
        const bool hardware = first == 'H';
        s.outxCtsFlow = hardware;
        s.outX = false;
        s.inX = false;
        s.rtsControl =
            hardware ? zem::SerialSettings::kLineHandshake : zem::SerialSettings::kLineDisable;
        if (!context->port.SetSettings(s)) {
            Log(3, "TSerial::SetFlow - Can not SetCommState -13");
            return -2;
        }
    }
    if (first == 'N') {
        if (SetLines(1) < 0) {
            Log(3, "TSerial::SetFlow - can not set RTS");
            return -3;
        }
        if (SetLines(2) < 0) {
            Log(3, "TSerial::SetFlow - can not set DTR");
            return -4;
        }
    }
    return 0;
}

// Asserts (on) or releases RTS for bit 0 and DTR for bit 1, RTS first; an RTS failure skips DTR.
int TSerial::RequestLines(uint32_t bits, bool on) {
    const bool net = context->network;
    const int32_t level = on ? 1 : 0;
    if (bits & kLineRTS) {
        bool ok =
            net ? context->portId >= 0 && nsio_RTS(context->portId, level) == 0
                : context->port.Line(on ? zem::SerialLine::kSetRts : zem::SerialLine::kClearRts);
        if (!ok) return -2;
    }
    if (bits & kLineDTR) {
        bool ok =
            net ? context->portId >= 0 && nsio_DTR(context->portId, level) == 0
                : context->port.Line(on ? zem::SerialLine::kSetDtr : zem::SerialLine::kClearDtr);
        if (!ok) return -3;
    }
    return 0;
}

int TSerial::SetLines(int mask) {
    if (!context || !Rings()) return -2;
    const uint32_t bits = static_cast<uint32_t>(mask) & (kLineRTS | kLineDTR);
    // Recorded before the request and kept when it fails.
    Rings()->lineState.fetch_or(bits, std::memory_order_acq_rel);
    return RequestLines(bits, true);
}

int TSerial::ClearLines(int mask) {
    if (!context || !Rings()) return -2;
    const uint32_t bits = static_cast<uint32_t>(mask) & (kLineRTS | kLineDTR);
    Rings()->lineState.fetch_and(~bits, std::memory_order_acq_rel);
    return RequestLines(bits, false);
}

int TSerial::GetLines(uint32_t* lines) {
    if (!Rings()) return 0;
    // A local port's input lines are read here, on the caller's thread, so that the service
    // thread need not wake to sample them; a network port's come from its service thread.
    uint32_t modem = 0;
    if (context && !context->network && context->port.IsOpen() &&
        context->port.ModemStatus(&modem)) {
        uint32_t in = 0;
        if (modem & zem::kModemCts) in |= kLineCTS;
        if (modem & zem::kModemDsr) in |= kLineDSR;
        if (modem & zem::kModemDcd) in |= kLineDCD;
        if (modem & zem::kModemRing) in |= kLineRING;
        Rings()->SetInputLines(in);
    }
    if (lines) *lines = Rings()->lineState.load(std::memory_order_acquire);
    return 0;
}

int TSerial::SerialThread(SerialThreadContext* ctx) {
    if (ctx->network)
        NetworkLoop(ctx);
    else
        LocalLoop(ctx);
    return 0;
}

void TSerial::LocalLoop(SerialThreadContext* ctx) {
    RingBlock* r = ctx->rings;
    zem::SerialPort& port = ctx->port;
    bool readPending = false;
    bool writePending = false;
    uint32_t writeAsked = 0;
    uint32_t readAsked = 0;
    bool lost = false;
    auto markLost = [&] {
        r->MarkLost(port.LostCause());
        lost = true;
    };
    while (!ctx->stop.load(std::memory_order_acquire) && !lost) {
        // Receive everything the driver holds, piece after piece, until it has no more or the
        // ring is full; a read that stays pending tells of the next arrival.
        bool roomLeft = true;
        bool failed = false; // a transfer failed without the port being lost: retry soon
        for (;;) {
            uint32_t got = 0;
            zem::SerialIo io;
            if (readPending) {
                io = port.CollectRead(&got);
                if (io == zem::SerialIo::kPending) break;
                readPending = false;
                got = std::min(got, readAsked);
            } else {
                uint8_t* room = nullptr;
                uint32_t n = r->RxRoom(&room);
                if (n == 0) {
                    roomLeft = false;
                    break;
                }
                io = port.StartRead(room, n, &got);
                if (io == zem::SerialIo::kPending) {
                    readPending = true;
                    readAsked = n;
                    break;
                }
                got = std::min(got, n);
            }
            r->RxProduced(got);
            if (io == zem::SerialIo::kLost) break;
            failed |= io == zem::SerialIo::kFailed;
            if (io == zem::SerialIo::kFailed || got == 0) break;
        }
        if (port.LostCause()[0]) {
            markLost();
            break;
        }

        // Transmit until the ring is empty or the driver takes no more; the tail moves only once
        // the bytes are handed over.
        bool driverFull = false;
        for (;;) {
            uint32_t sent = 0;
            zem::SerialIo io;
            uint32_t asked = 0;
            if (writePending) {
                io = port.CollectWrite(&sent);
                if (io == zem::SerialIo::kPending) break;
                writePending = false;
                asked = writeAsked;
            } else {
                const uint8_t* piece = nullptr;
                asked = r->TxPiece(&piece);
                if (asked == 0) break;
                io = port.StartWrite(piece, asked, &sent);
                if (io == zem::SerialIo::kPending) {
                    writePending = true;
                    writeAsked = asked;
                    break;
                }
            }
            r->TxConsumed(std::min(sent, asked));
            failed |= io == zem::SerialIo::kFailed;
            if (io == zem::SerialIo::kLost || io == zem::SerialIo::kFailed) break;
            if (sent < asked) {
                driverFull = true;
                break;
            }
        }
        if (port.LostCause()[0]) {
            markLost();
            break;
        }

        // Sleep until there is work: bytes, room in the driver, a finished transfer, or txWake
        // (Write, PurgeTx, a Read that frees a full ring, the stop request). The guard only
        // covers a lost signal; a failed transfer is tried again after the old pass interval.
        const uint32_t sleepMs = failed ? kRetryMs : ctx->pollMs;
        if (port.Wait(r->txWake, sleepMs, roomLeft && !readPending, driverFull) ==
            zem::SerialWait::kLost)
            markLost();
    }
    port.EndTransfers();
    // A lost port moves nothing more; the thread only waits for its stop.
    while (!ctx->stop.load(std::memory_order_acquire))
        r->txWake.Wait(1000);
}

void TSerial::NetworkLoop(SerialThreadContext* ctx) {
    RingBlock* r = ctx->rings;
    const int32_t id = ctx->portId;
    auto lost = [&](int32_t code) {
        char cause[64];
        r->MarkLost(NetLostCause(code, cause, sizeof cause));
        while (!ctx->stop.load(std::memory_order_acquire))
            r->txWake.Wait(kGuardMs);
    };
    while (!ctx->stop.load(std::memory_order_acquire)) {
        // A library may answer "nothing" to a read of a dead connection; the line status it
        // cannot give is what tells that the port is gone (after what it still holds is read).
        const int32_t s = ctx->nsio_lstatus(id);
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
            int32_t k =
                ctx->nsio_read(id, reinterpret_cast<char*>(room), static_cast<int32_t>(free));
            if (k <= 0) {
                readOut = true;
                break;
            }
            r->RxProduced(std::min(static_cast<uint32_t>(k), free));
        }
        // A connection that is gone may still have left bytes in the library (the last answer,
        // say): the port is lost only once they are all in the ring. Until then a full ring waits
        // for the reader, as it would with the connection alive.
        if (s < 0 && readOut) return lost(s);

        // Everything queued, as far as the library takes it.
        bool libraryFull = false;
        for (;;) {
            const uint8_t* piece = nullptr;
            uint32_t waiting = r->TxPiece(&piece);
            if (waiting == 0) break;
            int32_t k = ctx->nsio_write(id, reinterpret_cast<const char*>(piece),
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
        const uint32_t sleepMs = libraryFull ? kNetPollMs : ctx->pollMs;
        if (ctx->nsio_wait && free > 0) {
            int32_t w = ctx->nsio_wait(id, static_cast<int32_t>(sleepMs), r->txWake.Native());
            r->txWake.Clear();
            if (w < 0) return lost(w);
        } else {
            r->txWake.Wait(sleepMs);
        }
    }
}

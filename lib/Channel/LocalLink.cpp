#include "LocalLink.h"

#include "IoLoop.h"
#include "OpenCause.h"
#include "TChannel.h"

#include <algorithm>

namespace {

constexpr uint32_t kQueueSize = 8192;
constexpr uint32_t kSmallQueueSize = 90;
// A transfer that failed without the port being lost is tried again after this.
constexpr uint32_t kRetryMs = 2;

} // namespace

bool LocalLink::Open(const std::string& name, bool smallBuffers, std::string& failure) {
    if (!port_.Open(name)) {
        report_.Error(4, "TSerial::TSerial - Cannot open Communication Port " + name);
        failure = zem::OpenFailureCause(port_.OpenError(), name);
        return false;
    }
    const uint32_t queue = smallBuffers ? kSmallQueueSize : kQueueSize;
    port_.SetQueueSizes(queue, queue);
    uint32_t waiting = 0;
    port_.ClearErrors(&waiting);
    zem::SerialSettings s;
    if (!port_.GetSettings(s)) {
        report_.Log(3, "TSerial::TSerial - GetCommState Error");
        return false;
    }
    s.binary = true;
    s.outxDsrFlow = false;
    s.dtrControl = zem::SerialSettings::kLineEnable;
    s.dsrSensitivity = false;
    s.txContinueOnXoff = true;
    s.errorChar = false;
    s.nullStrip = false;
    s.abortOnError = false;
    if (!port_.SetSettings(s)) {
        report_.Log(3, "TSerial::TSerial - SetCommState Error");
        return false;
    }
    port_.AbortTransfers();
    return true;
}

int LocalLink::SetSpeed(int32_t speed) {
    zem::SerialSettings s;
    if (!port_.GetSettings(s)) {
        report_.Log(3, "TSerial::Configure - Can not GetCommState -4");
        return -1;
    }
    s.baudRate = static_cast<uint32_t>(speed);
    if (!port_.SetSettings(s)) {
        report_.Log(3, "TSerial::Configure - Can not SetCommState -5");
        return -2;
    }
    return 0;
}

int LocalLink::SetFormat(const char* text) {
    zem::SerialSettings s;
    if (!port_.GetSettings(s)) {
        report_.Log(3, "TSerial::Configure - Can not GetCommState -8");
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
    if (!port_.SetSettings(s)) {
        report_.Log(3, "TSerial::Configure - Can not SetCommState -9");
        return -2;
    }
    return 0;
}

int LocalLink::SetFlow(bool hardware) {
    zem::SerialSettings s;
    if (!port_.GetSettings(s)) {
        report_.Log(3, "TSerial::SetFlow - Can not GetCommState -12");
        return -1;
    }
    s.outxCtsFlow = hardware;
    s.outX = false;
    s.inX = false;
    s.rtsControl =
        hardware ? zem::SerialSettings::kLineHandshake : zem::SerialSettings::kLineDisable;
    if (!port_.SetSettings(s)) {
        report_.Log(3, "TSerial::SetFlow - Can not SetCommState -13");
        return -2;
    }
    return 0;
}

bool LocalLink::SetLine(uint32_t line, bool on) {
    if (line == kLineRTS)
        return port_.Line(on ? zem::SerialLine::kSetRts : zem::SerialLine::kClearRts);
    return port_.Line(on ? zem::SerialLine::kSetDtr : zem::SerialLine::kClearDtr);
}

void LocalLink::ReadInputLines(RingBlock& rings) {
    uint32_t modem = 0;
    if (!port_.IsOpen() || !port_.ModemStatus(&modem)) return;
    uint32_t in = 0;
    if (modem & zem::kModemCts) in |= kLineCTS;
    if (modem & zem::kModemDsr) in |= kLineDSR;
    if (modem & zem::kModemDcd) in |= kLineDCD;
    if (modem & zem::kModemRing) in |= kLineRING;
    rings.SetInputLines(in);
}

void LocalLink::Serve(RingBlock& rings, const std::atomic<bool>& stop) {
    RingBlock* r = &rings;
    zem::SerialPort& port = port_;
    bool readPending = false;
    bool writePending = false;
    uint32_t writeAsked = 0;
    uint32_t readAsked = 0;
    ioloop::Run(stop, [&](int guardMs) {
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
            r->MarkLost(port.LostCause());
            return false;
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
            r->MarkLost(port.LostCause());
            return false;
        }

        // Sleep until there is work: bytes, room in the driver, a finished transfer, or txWake
        // (Write, PurgeTx, a Read that frees a full ring, the stop request).
        const uint32_t sleepMs = failed ? kRetryMs : static_cast<uint32_t>(guardMs);
        if (port.Wait(r->txWake, sleepMs, roomLeft && !readPending, driverFull) ==
            zem::SerialWait::kLost) {
            r->MarkLost(port.LostCause());
            return false;
        }
        return true;
    });
    port.EndTransfers();
    ioloop::IdleUntilStopped(stop, [&](int ms) { r->txWake.Wait(static_cast<uint32_t>(ms)); });
}

#include "SerialPort.h"

#include "win32.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace zem {

namespace {

static_assert(sizeof(DCB) <= sizeof(SerialSettings{}.native), "native record too small");

bool HasComPrefix(const std::string& name) {
    if (name.size() < 3) return false;
    for (size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return false;
    return true;
}

// A transfer's failure: lost when the error says the port is gone.
SerialIo Failed(DWORD err, const char** lostCause) {
    if (const char* cause = SerialLostCause(static_cast<long>(err))) {
        *lostCause = cause;
        return SerialIo::kLost;
    }
    return SerialIo::kFailed;
}

// One overlapped transfer: its record, whether the driver still holds it, and what was asked,
// so that a driver's count can never run past the caller's buffer.
struct Transfer {
    OVERLAPPED ov{};
    bool pending = false;
    uint32_t asked = 0;

    bool Ready() const { return ov.hEvent != nullptr; }

    void Reset() {
        HANDLE ev = ov.hEvent;
        ov = OVERLAPPED{};
        ov.hEvent = ev;
    }

    void CloseEvent() {
        if (ov.hEvent) CloseHandle(ov.hEvent);
        ov.hEvent = nullptr;
    }

    // ReadFile or WriteFile has just returned `ok` with `n`.
    SerialIo Started(BOOL ok, DWORD n, uint32_t* count, const char** lostCause) {
        if (ok) {
            *count = std::min<uint32_t>(n, asked);
            return SerialIo::kDone;
        }
        DWORD err = GetLastError();
        if (err == ERROR_IO_PENDING) {
            pending = true;
            return SerialIo::kPending;
        }
        return Failed(err, lostCause);
    }

    SerialIo Collect(HANDLE port, uint32_t* count, const char** lostCause) {
        *count = 0;
        if (!pending) return SerialIo::kFailed;
        DWORD n = 0;
        if (GetOverlappedResult(port, &ov, &n, FALSE)) {
            pending = false;
            *count = std::min<uint32_t>(n, asked);
            return SerialIo::kDone;
        }
        DWORD err = GetLastError();
        if (err == ERROR_IO_INCOMPLETE || err == ERROR_IO_PENDING) return SerialIo::kPending;
        // Over with an error; whatever it did move is in place and counts.
        pending = false;
        *count = std::min<uint32_t>(n, asked);
        return Failed(err, lostCause);
    }

    // The buffer and the record must outlive the transfer, so wait for the cancelled one.
    void Finish(HANDLE port) {
        if (!pending) return;
        DWORD n = 0;
        GetOverlappedResult(port, &ov, &n, TRUE);
        pending = false;
    }
};

} // namespace

struct SerialPort::Native {
    HANDLE handle = INVALID_HANDLE_VALUE;
    Transfer read;
    Transfer write;
    const char* lostCause = nullptr;
};

// Real Windows reports a removed USB adapter with the first five; Wine reports a pseudo-terminal
// whose other side closed with the last two. Our own cancels happen only once the service thread
// ends, so an aborted transfer before that was aborted by the driver.
const char* SerialLostCause(long error) {
    switch (error) {
    case ERROR_DEVICE_REMOVED:
        return "device removed (ERROR_DEVICE_REMOVED)";
    case ERROR_BAD_COMMAND:
        return "device does not answer (ERROR_BAD_COMMAND)";
    case ERROR_ACCESS_DENIED:
        return "device no longer accessible (ERROR_ACCESS_DENIED)";
    case ERROR_GEN_FAILURE:
        return "device failure (ERROR_GEN_FAILURE)";
    case ERROR_OPERATION_ABORTED:
        return "transfer aborted by the driver (ERROR_OPERATION_ABORTED)";
    case ERROR_BROKEN_PIPE:
        return "the line hung up (ERROR_BROKEN_PIPE)";
    case ERROR_NOT_READY:
        return "device not ready (ERROR_NOT_READY)";
    default:
        return nullptr;
    }
}

SerialPort::SerialPort() = default;
SerialPort::~SerialPort() {
    Close();
}

std::string SerialDevicePath(const std::string& portName) {
    // The name goes into a device path as it stands; a separator in it could reach another
    // device through the path's normalisation ("COM1\..\PhysicalDrive0").
    if (!HasComPrefix(portName) || portName.find_first_of("\\/") != std::string::npos) return {};
    return "\\\\.\\" + portName;
}

bool SerialPort::Open(const std::string& portName) {
    Close();
    openError_ = 0;
    std::string path = SerialDevicePath(portName);
    if (path.empty()) {
        openError_ = ERROR_FILE_NOT_FOUND;
        return false;
    }
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        openError_ = static_cast<long>(GetLastError());
        return false;
    }
    native_ = std::make_unique<Native>();
    native_->handle = h;
    return true;
}

bool SerialPort::IsOpen() const {
    return native_ && native_->handle != INVALID_HANDLE_VALUE;
}

void SerialPort::Close() {
    if (!native_) return;
    // The service thread has ended (EndTransfers); this only covers a thread that never ran.
    native_->read.CloseEvent();
    native_->write.CloseEvent();
    if (native_->handle != INVALID_HANDLE_VALUE) CloseHandle(native_->handle);
    native_.reset();
}

void SerialPort::SetQueueSizes(uint32_t input, uint32_t output) {
    if (IsOpen()) SetupComm(native_->handle, input, output);
}

bool SerialPort::ClearErrors(uint32_t* inQueue) {
    *inQueue = 0;
    if (!IsOpen()) return false;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(native_->handle, &errors, &stat)) return false;
    *inQueue = stat.cbInQue;
    return true;
}

bool SerialPort::GetSettings(SerialSettings& s) {
    if (!IsOpen()) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(native_->handle, &dcb)) return false;
    s.baudRate = dcb.BaudRate;
    s.byteSize = dcb.ByteSize;
    s.parity = dcb.Parity;
    s.stopBits = dcb.StopBits;
    s.binary = dcb.fBinary;
    s.parityCheck = dcb.fParity;
    s.outxCtsFlow = dcb.fOutxCtsFlow;
    s.outxDsrFlow = dcb.fOutxDsrFlow;
    s.dtrControl = static_cast<uint8_t>(dcb.fDtrControl);
    s.dsrSensitivity = dcb.fDsrSensitivity;
    s.txContinueOnXoff = dcb.fTXContinueOnXoff;
    s.outX = dcb.fOutX;
    s.inX = dcb.fInX;
    s.errorChar = dcb.fErrorChar;
    s.nullStrip = dcb.fNull;
    s.rtsControl = static_cast<uint8_t>(dcb.fRtsControl);
    s.abortOnError = dcb.fAbortOnError;
    std::memcpy(s.native, &dcb, sizeof dcb);
    return true;
}

bool SerialPort::SetSettings(const SerialSettings& s) {
    if (!IsOpen()) return false;
    // A byte size that does not fit the record's byte would reach the driver as another number.
    if (s.byteSize < 0 || s.byteSize > 255) return false;
    DCB dcb;
    std::memcpy(&dcb, s.native, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = s.baudRate;
    dcb.ByteSize = static_cast<BYTE>(s.byteSize);
    dcb.Parity = s.parity;
    dcb.StopBits = s.stopBits;
    dcb.fBinary = s.binary;
    dcb.fParity = s.parityCheck;
    dcb.fOutxCtsFlow = s.outxCtsFlow;
    dcb.fOutxDsrFlow = s.outxDsrFlow;
    dcb.fDtrControl = s.dtrControl & 3;
    dcb.fDsrSensitivity = s.dsrSensitivity;
    dcb.fTXContinueOnXoff = s.txContinueOnXoff;
    dcb.fOutX = s.outX;
    dcb.fInX = s.inX;
    dcb.fErrorChar = s.errorChar;
    dcb.fNull = s.nullStrip;
    dcb.fRtsControl = s.rtsControl & 3;
    dcb.fAbortOnError = s.abortOnError;
    return SetCommState(native_->handle, &dcb) != 0;
}

void SerialPort::AbortTransfers() {
    if (!IsOpen()) return;
    PurgeComm(native_->handle, PURGE_TXABORT);
    PurgeComm(native_->handle, PURGE_RXABORT);
}

bool SerialPort::Line(SerialLine request) {
    if (!IsOpen()) return false;
    DWORD f = 0;
    switch (request) {
    case SerialLine::kSetRts:
        f = SETRTS;
        break;
    case SerialLine::kClearRts:
        f = CLRRTS;
        break;
    case SerialLine::kSetDtr:
        f = SETDTR;
        break;
    case SerialLine::kClearDtr:
        f = CLRDTR;
        break;
    }
    return EscapeCommFunction(native_->handle, f) != 0;
}

bool SerialPort::ModemStatus(uint32_t* bits) {
    if (!IsOpen()) return false;
    DWORD st = 0;
    if (!GetCommModemStatus(native_->handle, &st)) return false;
    uint32_t b = 0;
    if (st & MS_CTS_ON) b |= kModemCts;
    if (st & MS_DSR_ON) b |= kModemDsr;
    if (st & MS_RING_ON) b |= kModemRing;
    if (st & MS_RLSD_ON) b |= kModemDcd;
    *bits = b;
    return true;
}

bool SerialPort::PrepareTransfers() {
    if (!IsOpen()) return false;
    // No time-outs: a read waits for its whole count, so a one-byte read left pending while the
    // driver holds nothing completes when a byte arrives.
    COMMTIMEOUTS none{};
    SetCommTimeouts(native_->handle, &none);
    for (Transfer* t : {&native_->read, &native_->write}) {
        if (t->Ready()) continue;
        t->ov = OVERLAPPED{};
        t->ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!t->Ready()) {
            native_->read.CloseEvent();
            native_->write.CloseEvent();
            return false;
        }
    }
    return true;
}

SerialIo SerialPort::StartRead(uint8_t* data, uint32_t size, uint32_t* count) {
    *count = 0;
    if (!IsOpen()) return SerialIo::kFailed;
    Transfer& t = native_->read;
    if (!t.Ready() || t.pending) return SerialIo::kFailed;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(native_->handle, &errors, &stat))
        return Failed(GetLastError(), &native_->lostCause);
    // What the driver holds, or one byte left pending to tell of the next arrival.
    if (size == 0) return SerialIo::kDone;
    size = stat.cbInQue ? std::min<uint32_t>(size, stat.cbInQue) : 1;
    t.Reset();
    t.asked = size;
    DWORD n = 0;
    BOOL ok = ReadFile(native_->handle, data, size, &n, &t.ov);
    return t.Started(ok, n, count, &native_->lostCause);
}

SerialIo SerialPort::CollectRead(uint32_t* count) {
    *count = 0;
    if (!IsOpen()) return SerialIo::kFailed;
    return native_->read.Collect(native_->handle, count, &native_->lostCause);
}

SerialIo SerialPort::StartWrite(const uint8_t* data, uint32_t size, uint32_t* count) {
    *count = 0;
    if (!IsOpen()) return SerialIo::kFailed;
    Transfer& t = native_->write;
    if (!t.Ready() || t.pending) return SerialIo::kFailed;
    t.Reset();
    t.asked = size;
    DWORD n = 0;
    BOOL ok = WriteFile(native_->handle, data, size, &n, &t.ov);
    return t.Started(ok, n, count, &native_->lostCause);
}

SerialIo SerialPort::CollectWrite(uint32_t* count) {
    *count = 0;
    if (!IsOpen()) return SerialIo::kFailed;
    return native_->write.Collect(native_->handle, count, &native_->lostCause);
}

void SerialPort::EndTransfers() {
    if (!IsOpen()) return;
    Native& n = *native_;
    // CancelIo reaches only what this thread started, which is every transfer of the port.
    if (n.read.pending || n.write.pending) CancelIo(n.handle);
    n.read.Finish(n.handle);
    n.write.Finish(n.handle);
    n.read.CloseEvent();
    n.write.CloseEvent();
}

SerialWait SerialPort::Wait(WakeEvent& wake, uint32_t ms, bool, bool wantWrite) {
    if (!IsOpen()) return SerialWait::kLost;
    // A driver that took part of a write without keeping it pending gives no event for its room:
    // look again after a short while, as a pass of a polling loop would.
    constexpr uint32_t kRoomPollMs = 2;
    if (wantWrite && !native_->write.pending && ms > kRoomPollMs) ms = kRoomPollMs;
    // WaitCommEvent cannot serve here: under Wine it completes at once, whatever arrives. The
    // pending transfers' events say as much: a finished read is data, a finished write is room.
    HANDLE h[3];
    DWORD n = 0;
    h[n++] = reinterpret_cast<HANDLE>(wake.Native());
    if (native_->read.pending) h[n++] = native_->read.ov.hEvent;
    if (native_->write.pending) h[n++] = native_->write.ov.hEvent;
    DWORD r = WaitForMultipleObjects(n, h, FALSE, ms);
    return r == WAIT_TIMEOUT ? SerialWait::kTimeout : SerialWait::kReady;
}

const char* SerialPort::LostCause() const {
    return native_ && native_->lostCause ? native_->lostCause : "";
}

} // namespace zem

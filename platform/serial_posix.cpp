#include "SerialPort.h"

#include "LowLatency.h"
#include "Termios2.h"
#include "TtyDevice.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace zem {

namespace {

// What GetSettings saw, carried to SetSettings in SerialSettings::native.
struct PosixNative {
    LinuxTermios termios;
    uint8_t rtsControl;
    uint8_t dtrControl;
};
static_assert(sizeof(PosixNative) <= sizeof(SerialSettings{}.native), "native record too small");

// A driver may round a rate it cannot make exactly; beyond a UART's own tolerance the rate it
// chose is a different rate, and the request counts as refused.
bool RateAccepted(uint32_t asked, uint32_t got) {
    uint64_t diff = asked > got ? asked - got : got - asked;
    return diff * 100 <= uint64_t{asked} * 3;
}

uint32_t ByteSizeFlag(int byteSize) {
    switch (byteSize) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    case 8:
        return CS8;
    default:
        return 0;
    }
}

int ByteSizeOf(uint32_t cflag) {
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

static_assert(kAsyncLowLatency == ASYNC_LOW_LATENCY);

// Pseudo-terminals and many UART drivers refuse these (ENOTTY, EINVAL); that only means the
// port keeps its own latency.
class TtyDriverFlags final : public SerialDriverFlags {
public:
    explicit TtyDriverFlags(int fd) : fd_(fd) {}
    bool Get(uint32_t& flags) override {
        serial_struct s{};
        if (ioctl(fd_, TIOCGSERIAL, &s) != 0) return false;
        flags = static_cast<uint32_t>(s.flags);
        return true;
    }
    bool Set(uint32_t flags) override {
        serial_struct s{};
        if (ioctl(fd_, TIOCGSERIAL, &s) != 0) return false;
        s.flags = static_cast<int>(flags);
        return ioctl(fd_, TIOCSSERIAL, &s) == 0;
    }

private:
    int fd_;
};

} // namespace

struct SerialPort::Native {
    int fd = -1;
    const char* lostCause = nullptr;
    bool lowLatency = false; // we set ASYNC_LOW_LATENCY and clear it again at close
};

const char* SerialLostCause(long error) {
    switch (error) {
    case EIO:
        return "input/output error (EIO)";
    case ENXIO:
        return "no such device (ENXIO)";
    case ENODEV:
        return "device gone (ENODEV)";
    case EBADF:
        return "descriptor no longer valid (EBADF)";
    default:
        return nullptr;
    }
}

namespace {
// A transfer that failed: lost if errno says so, else a plain failure the next pass retries.
SerialIo FailedTransfer(const char** lostCause) {
    if (const char* cause = SerialLostCause(errno)) {
        *lostCause = cause;
        return SerialIo::kLost;
    }
    return SerialIo::kFailed;
}
} // namespace

SerialPort::SerialPort() = default;
SerialPort::~SerialPort() {
    Close();
}

std::string SerialDevicePath(const std::string& portName) {
    if (portName.rfind("/dev/", 0) == 0) return portName;
    if (portName.size() < 4 || portName.size() > 9 || strncasecmp(portName.c_str(), "COM", 3) != 0)
        return {};
    unsigned n = 0;
    for (size_t i = 3; i < portName.size(); ++i) {
        char c = portName[i];
        if (c < '0' || c > '9') return {};
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n == 0) return {};
    return "/dev/ttyS" + std::to_string(n - 1);
}

bool SerialPort::Open(const std::string& portName) {
    Close();
    openError_ = 0;
    std::string path = SerialDevicePath(portName);
    if (path.empty()) {
        openError_ = ENODEV;
        return false;
    }
    TtyDevice tty;
    if (!FindSerialTty(path, "/sys", ControllingTerminal(), tty)) {
        // A name that leads nowhere, or to something that is no serial line.
        struct stat st {};
        openError_ = stat(path.c_str(), &st) != 0 ? errno : ENOTTY;
        return false;
    }
    int fd = ::open(tty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        openError_ = errno;
        return false;
    }
    // The name may have been pointed elsewhere between the check and the open.
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != tty.rdev || !isatty(fd)) {
        ::close(fd);
        openError_ = ENOTTY;
        return false;
    }
    // The advisory lock is what says "busy" between Zems: the kernel drops it with its holder,
    // however that ends. TIOCEXCL keeps other programs out, but not privileged ones, so a port
    // another program made exclusive counts as held even when we could open it. A flag that
    // nobody holds (left on a pseudo-terminal, whose tty lives as long as its master, by a
    // program killed with it) is cleared.
    int excl = 0;
    bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCGEXCL, &excl) != 0;
    if (!busy && excl != 0) busy = OpenElsewhere(st.st_rdev) || ioctl(fd, TIOCNXCL) != 0;
    // On a pseudo-terminal the flag would outlive us and shut out our own next start (an
    // unprivileged open of an exclusive tty fails): the lock alone guards it.
    if (!busy && !IsPseudoTerminal(st.st_rdev)) busy = ioctl(fd, TIOCEXCL) != 0;
    if (busy) {
        ::close(fd);
        openError_ = EBUSY;
        return false;
    }
    native_ = std::make_unique<Native>();
    native_->fd = fd;
    TtyDriverFlags driver(fd);
    native_->lowLatency = RequestLowLatency(driver);
    return true;
}

bool SerialPort::IsOpen() const {
    return native_ && native_->fd >= 0;
}

void SerialPort::Close() {
    if (!native_) return;
    if (native_->fd >= 0) {
        // Output held back by the handshake would keep close waiting for the driver's closing
        // time; bytes not yet sent are dropped with the channel anyway.
        tcflush(native_->fd, TCOFLUSH);
        if (native_->lowLatency) {
            TtyDriverFlags driver(native_->fd);
            ReleaseLowLatency(driver);
        }
        ioctl(native_->fd, TIOCNXCL);
        ::close(native_->fd);
    }
    native_.reset();
}

void SerialPort::SetQueueSizes(uint32_t, uint32_t) {
    // The tty layer sizes its own buffers.
}

bool SerialPort::ClearErrors(uint32_t* inQueue) {
    *inQueue = 0;
    if (!IsOpen()) return false;
    int n = 0;
    if (ioctl(native_->fd, FIONREAD, &n) != 0 || n < 0) return false;
    *inQueue = static_cast<uint32_t>(n);
    return true;
}

bool SerialPort::GetSettings(SerialSettings& s) {
    if (!IsOpen()) return false;
    PosixNative n{};
    if (!GetLinuxTermios(native_->fd, n.termios)) return false;
    const LinuxTermios& t = n.termios;
    s.baudRate = t.ospeed;
    s.byteSize = ByteSizeOf(t.cflag);
    if (!(t.cflag & PARENB))
        s.parity = SerialSettings::kNoParity;
    else if (t.cflag & CMSPAR)
        s.parity = (t.cflag & PARODD) ? SerialSettings::kMarkParity : SerialSettings::kSpaceParity;
    else
        s.parity = (t.cflag & PARODD) ? SerialSettings::kOddParity : SerialSettings::kEvenParity;
    s.stopBits = (t.cflag & CSTOPB) ? SerialSettings::kTwoStopBits : SerialSettings::kOneStopBit;
    s.binary = !(t.lflag & ICANON) && !(t.oflag & OPOST);
    s.parityCheck = (t.iflag & INPCK) != 0;
    s.outxCtsFlow = (t.cflag & CRTSCTS) != 0;
    s.outxDsrFlow = false;
    s.dsrSensitivity = false;
    s.txContinueOnXoff = false;
    s.outX = (t.iflag & IXON) != 0;
    s.inX = (t.iflag & IXOFF) != 0;
    s.errorChar = false;
    s.nullStrip = false;
    s.abortOnError = false;
    // Without a modem-line query (pseudo-terminals) DTR counts as on, as the tty raises it on open.
    int lines = 0;
    bool haveLines = ioctl(native_->fd, TIOCMGET, &lines) == 0;
    s.dtrControl = !haveLines || (lines & TIOCM_DTR) ? SerialSettings::kLineEnable
                                                     : SerialSettings::kLineDisable;
    if (t.cflag & CRTSCTS)
        s.rtsControl = SerialSettings::kLineHandshake;
    else
        s.rtsControl = haveLines && (lines & TIOCM_RTS) ? SerialSettings::kLineEnable
                                                        : SerialSettings::kLineDisable;
    n.rtsControl = s.rtsControl;
    n.dtrControl = s.dtrControl;
    std::memcpy(s.native, &n, sizeof n);
    return true;
}

bool SerialPort::SetSettings(const SerialSettings& s) {
    if (!IsOpen()) return false;
    PosixNative n;
    std::memcpy(&n, s.native, sizeof n);
    // Asking for rate 0 would hang the line up (a port left that way may keep it), and a "rate"
    // above INT32_MAX came from a negative number. Linux has no 1.5 stop bits, DSR handshake or
    // DTR handshake.
    uint32_t size = ByteSizeFlag(s.byteSize);
    if ((s.baudRate == 0 && n.termios.ospeed != 0) || s.baudRate > INT32_MAX || size == 0 ||
        s.parity > SerialSettings::kSpaceParity || s.stopBits == SerialSettings::kOne5StopBits ||
        s.stopBits > SerialSettings::kTwoStopBits || s.outxDsrFlow || s.dsrSensitivity ||
        s.dtrControl > SerialSettings::kLineEnable || s.rtsControl > SerialSettings::kLineHandshake)
        return false;

    LinuxTermios t = n.termios;
    if (s.binary) {
        t.iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IMAXBEL);
        t.oflag &= ~OPOST;
        t.lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
        t.cc[VMIN] = 0;
        t.cc[VTIME] = 0;
    }
    t.cflag |= CREAD | CLOCAL;
    t.iflag = s.parityCheck ? (t.iflag | INPCK) : (t.iflag & ~INPCK);
    t.cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.cflag |= size;
    switch (s.parity) {
    case SerialSettings::kOddParity:
        t.cflag |= PARENB | PARODD;
        break;
    case SerialSettings::kEvenParity:
        t.cflag |= PARENB;
        break;
    case SerialSettings::kMarkParity:
        t.cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SerialSettings::kSpaceParity:
        t.cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (s.stopBits == SerialSettings::kTwoStopBits) t.cflag |= CSTOPB;
    if (s.outxCtsFlow || s.rtsControl == SerialSettings::kLineHandshake) t.cflag |= CRTSCTS;
    t.iflag &= ~(IXON | IXOFF);
    if (s.outX) t.iflag |= IXON;
    if (s.inX) t.iflag |= IXOFF;
    SetLinuxTermiosRate(t, s.baudRate);

    const int fd = native_->fd;
    LinuxTermios before;
    if (!GetLinuxTermios(fd, before) || !SetLinuxTermios(fd, t)) return false;
    LinuxTermios now;
    if (!GetLinuxTermios(fd, now) || !RateAccepted(s.baudRate, now.ospeed)) {
        // A refused request leaves the previous settings in force.
        SetLinuxTermios(fd, before);
        return false;
    }
    // Changing a line's control mode sets the line as the mode says. Pseudo-terminals have no
    // modem lines; there this is refused and means nothing.
    auto apply = [fd](uint8_t mode, uint8_t was, int line) {
        if (mode == was || mode == SerialSettings::kLineHandshake) return;
        int bits = line;
        ioctl(fd, mode == SerialSettings::kLineEnable ? TIOCMBIS : TIOCMBIC, &bits);
    };
    apply(s.rtsControl, n.rtsControl, TIOCM_RTS);
    apply(s.dtrControl, n.dtrControl, TIOCM_DTR);
    return true;
}

void SerialPort::AbortTransfers() {
    // Transfers finish inside their start call here, so none is ever pending.
}

bool SerialPort::Line(SerialLine request) {
    if (!IsOpen()) return false;
    int bits = (request == SerialLine::kSetRts || request == SerialLine::kClearRts) ? TIOCM_RTS
                                                                                    : TIOCM_DTR;
    unsigned long op =
        (request == SerialLine::kSetRts || request == SerialLine::kSetDtr) ? TIOCMBIS : TIOCMBIC;
    return ioctl(native_->fd, op, &bits) == 0;
}

bool SerialPort::ModemStatus(uint32_t* bits) {
    if (!IsOpen()) return false;
    int lines = 0;
    if (ioctl(native_->fd, TIOCMGET, &lines) != 0) return false;
    uint32_t b = 0;
    if (lines & TIOCM_CTS) b |= kModemCts;
    if (lines & TIOCM_DSR) b |= kModemDsr;
    if (lines & TIOCM_RNG) b |= kModemRing;
    if (lines & TIOCM_CAR) b |= kModemDcd;
    *bits = b;
    return true;
}

bool SerialPort::PrepareTransfers() {
    return IsOpen();
}

SerialIo SerialPort::StartRead(uint8_t* data, uint32_t size, uint32_t* count) {
    *count = 0;
    if (!IsOpen()) return SerialIo::kFailed;
    ssize_t k = ::read(native_->fd, data, size);
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return SerialIo::kDone;
    if (k < 0) return FailedTransfer(&native_->lostCause);
    *count = static_cast<uint32_t>(k);
    return SerialIo::kDone;
}

SerialIo SerialPort::CollectRead(uint32_t* count) {
    *count = 0;
    return SerialIo::kFailed;
}

SerialIo SerialPort::StartWrite(const uint8_t* data, uint32_t size, uint32_t* count) {
    *count = 0;
    if (!IsOpen()) return SerialIo::kFailed;
    ssize_t k = ::write(native_->fd, data, size);
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return SerialIo::kDone;
    if (k < 0) return FailedTransfer(&native_->lostCause);
    *count = static_cast<uint32_t>(k);
    return SerialIo::kDone;
}

SerialIo SerialPort::CollectWrite(uint32_t* count) {
    *count = 0;
    return SerialIo::kFailed;
}

void SerialPort::EndTransfers() {}

SerialWait SerialPort::Wait(WakeEvent& wake, uint32_t ms, bool wantRead, bool wantWrite) {
    if (!IsOpen()) return SerialWait::kLost;
    pollfd p[2] = {
        {native_->fd, static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0},
        {static_cast<int>(wake.Native()), POLLIN, 0}};
    int r = ::poll(p, 2, static_cast<int>(ms));
    if (r < 0) {
        if (errno == EINTR) return SerialWait::kReady;
        if (const char* cause = SerialLostCause(errno)) {
            native_->lostCause = cause;
            return SerialWait::kLost;
        }
        return SerialWait::kReady;
    }
    // A hung-up tty (the adapter pulled, the pty's other side closed) reports POLLHUP for good.
    if (p[0].revents & POLLNVAL) {
        native_->lostCause = "port descriptor not open (POLLNVAL)";
        return SerialWait::kLost;
    }
    if (p[0].revents & POLLHUP) {
        native_->lostCause = "the line hung up (POLLHUP)";
        return SerialWait::kLost;
    }
    if (p[0].revents & POLLERR) {
        native_->lostCause = "the port reported an error (POLLERR)";
        return SerialWait::kLost;
    }
    if (p[1].revents & POLLIN) wake.Clear();
    return r == 0 ? SerialWait::kTimeout : SerialWait::kReady;
}

const char* SerialPort::LostCause() const {
    return native_ && native_->lostCause ? native_->lostCause : "";
}

} // namespace zem

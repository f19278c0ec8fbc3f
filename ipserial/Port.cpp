#include "Port.h"

#include "IoLoop.h"

#include "ipserial.h"

#include <array>
#include <chrono>

namespace ipserial {

namespace {

using Clock = std::chrono::steady_clock;

// Speeds of the nsio_ioctl codes, in bits per second.
constexpr std::array<uint32_t, 20> kSpeeds = {
    50,   75,   110,  134,   150,   300,   600,    1200,   1800,   2400,
    4800, 7200, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600,
};

} // namespace

Port::~Port() {
    Close();
    if (netStarted_) NetCleanup();
}

int Port::Open(uint32_t ipv4, uint16_t tcpPort, Ms timeout, const TlsSettings* tls,
               std::string* cause, intptr_t abort) {
    if (!NetStartup()) return NSIO_SOCKETFAIL;
    netStarted_ = true;
    const auto deadline = Clock::now() + timeout;
    Opened link = OpenTransport(ipv4, tcpPort, tls, deadline, abort);
    if (!link.transport) {
        if (cause) *cause = link.cause;
        return link.failure;
    }
    return Start(std::move(link.transport), deadline, cause, abort);
}

int Port::Start(std::unique_ptr<Transport> transport, Deadline deadline, std::string* cause,
                intptr_t abort) {
    socket_ = std::move(transport);
    {
        Lock lock(mutex_);
        session_.Begin();
        FlushLocked();
    }
    try {
        io_ = std::thread(&Port::IoLoop, this);
    } catch (...) {
        socket_->Close();
        return NSIO_NOMEM;
    }

    // The I/O thread raises arrived_ on every arrival and on the end of the connection, so the
    // negotiation is waited for there, where the caller's wake-up can end the wait too.
    auto decided = [&] {
        Lock lock(mutex_);
        return LostLocked() || session_.ComPortState() != Session::ComPort::Pending;
    };
    bool aborted = false;
    while (!decided()) {
        const int left = RemainingMs(deadline);
        if (left == 0) break;
        if (arrived_.Wait(abort, left)) {
            aborted = true;
            break;
        }
    }
    int result;
    {
        Lock lock(mutex_);
        if (aborted) {
            result = NSIO_ABORTED;
            if (cause) *cause = AbortedOpen().cause;
        } else if (LostLocked()) {
            result = NSIO_CONNECTFAIL;
            // Nothing came before the end: the transport may know why the server left.
            if (!heard_) {
                std::string why;
                if (int early = socket_->EarlyEnd(&why)) {
                    result = early;
                    if (cause) *cause = why;
                }
            }
            if (result == NSIO_CONNECTFAIL && cause && cause->empty())
                *cause = "the server closed the connection during negotiation";
        } else if (session_.ComPortState() == Session::ComPort::Agreed) {
            const uint8_t mask = comport::kModemMaskAll;
            session_.QueueCommand(comport::kSetModemStateMask, &mask, 1);
            FlushLocked();
            result = LostLocked() ? NSIO_CONNECTFAIL : 0;
            if (result == 0) controlAbort_ = abort;
        } else if (session_.ComPortState() == Session::ComPort::Refused) {
            result = NSIO_CONNECTFAIL;
            if (cause) *cause = "the server declined COM-PORT-OPTION";
        } else {
            result = NSIO_TIMEOUT;
            if (cause) *cause = "the server did not negotiate COM-PORT-OPTION in time";
        }
    }
    if (result != 0) {
        StopThread();
        socket_->Close();
    }
    return result;
}

void Port::Close() {
    if (!socket_ || !socket_->IsOpen()) return;
    // Bytes the caller handed over are still owed to the server.
    const auto flushUntil = Clock::now() + timings_.closeFlush;
    for (;;) {
        {
            Lock lock(mutex_);
            FlushLocked();
            if (LostLocked() || !session_.HasPending()) break;
        }
        if (Clock::now() >= flushUntil) break;
        std::this_thread::sleep_for(Ms(2));
    }
    StopThread();
    // Closing with unread bytes would reset the connection and could cost the server what it
    // has not yet passed on; end our side and let the server close its own.
    socket_->ShutdownSend();
    const auto drainUntil = Clock::now() + timings_.closeDrain;
    std::array<uint8_t, 1024> junk;
    while (Clock::now() < drainUntil) {
        int ready = socket_->Wait(true, false, RemainingMs(drainUntil), nullptr);
        if (ready <= 0) break;
        IoResult r = socket_->Receive(junk.data(), junk.size());
        if (r.status == IoStatus::Closed || r.status == IoStatus::Failed) break;
    }
    // Under the lock and after broken_, so that no late call on this port touches the socket.
    Lock lock(mutex_);
    BreakLocked();
    socket_->Close();
}

void Port::StopThread() {
    stop_ = true;
    wake_.Raise();
    if (io_.joinable()) io_.join();
}

void Port::IoLoop() {
    std::array<uint8_t, 4096> buffer;
    ioloop::Run(stop_, [&](int guardMs) {
        size_t room;
        bool wantWrite, sendLost;
        {
            Lock lock(mutex_);
            if (broken_) return false;
            room = std::min(buffer.size(), session_.RxFree());
            sendLost = sendLost_;
            wantWrite = !sendLost && session_.HasPending();
        }
        if (room == 0 && !wantWrite) {
            // The caller has not read for a while; let TCP hold the server back meanwhile. Its
            // Read wakes this thread once there is room.
            wake_.Wait(0, guardMs);
            return true;
        }
        // Once the server takes nothing more, what it sent before is read out as far as it has
        // arrived, without waiting for more, and then the connection counts as lost.
        const int ready =
            sendLost ? kReadable : socket_->Wait(room > 0, wantWrite, guardMs, &wake_);
        if (ready < 0) {
            Lock lock(mutex_);
            BreakLocked();
            return false;
        }
        if (ready & kReadable) {
            IoResult r = socket_->Receive(buffer.data(), room);
            Lock lock(mutex_);
            if (r.status == IoStatus::Ok) {
                heard_ = heard_ || r.count > 0;
                const int lines = session_.LineStatus();
                session_.Feed(buffer.data(), r.count);
                if (session_.LineStatus() != lines) ++lineChanges_;
                FlushLocked(); // negotiation answers
                answered_.notify_all();
                answers_.Raise();
                arrived_.Raise();
            } else if (r.status != IoStatus::WouldBlock || sendLost_) {
                BreakLocked();
                return false;
            }
        }
        if (ready & kWritable) {
            Lock lock(mutex_);
            FlushLocked();
        }
        return true;
    });
}

void Port::FlushLocked() {
    while (!LostLocked() && session_.HasPending()) {
        size_t size;
        const uint8_t* data = session_.Pending(&size);
        IoResult r = socket_->Send(data, size);
        if (r.status == IoStatus::Ok && r.count > 0) {
            session_.Consumed(r.count);
        } else if (r.status == IoStatus::WouldBlock || r.status == IoStatus::Ok) {
            // The socket is full: the I/O thread must wait until it takes more. When this is the
            // I/O thread itself, the raise costs one more turn of its loop.
            wake_.Raise();
            return;
        } else if (r.status == IoStatus::Closed) {
            // The server has gone, but bytes it sent before may still wait in the socket: the
            // I/O thread reads them out before the connection counts as lost.
            sendLost_ = true;
            session_.DropPending();
            answered_.notify_all();
            answers_.Raise();
            wake_.Raise();
        } else {
            BreakLocked();
        }
    }
}

void Port::BreakLocked() {
    broken_ = true;
    session_.DropPending();
    answered_.notify_all();
    answers_.Raise();
    arrived_.Raise();
}

int Port::WaitData(int timeoutMs, intptr_t wake) {
    uint32_t lineChanges;
    {
        Lock lock(mutex_);
        lineChanges = lineChanges_;
    }
    // A change of the modem lines ends the wait too (with 0), so that the caller sees it.
    bool linesChanged = false;
    auto state = [&] {
        Lock lock(mutex_);
        if (session_.RxFree() < kRxCapacity) return 1;
        linesChanged = lineChanges_ != lineChanges;
        return broken_ ? NSIO_CLOSED : 0;
    };
    // A raise may be left from an arrival already read (or from negotiation): wait on.
    const auto until = Clock::now() + Ms(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int s = state();
        if (s != 0 || linesChanged) return s;
        const auto now = Clock::now();
        if (now >= until) return 0;
        const auto left = std::chrono::ceil<Ms>(until - now).count();
        if (arrived_.Wait(wake, static_cast<int>(left))) return state();
    }
}

int Port::Read(uint8_t* out, int size) {
    Lock lock(mutex_);
    const bool wasFull = session_.RxFree() == 0;
    const size_t n = session_.ReadData(out, static_cast<size_t>(size));
    // The I/O thread stopped reading the socket when the buffer filled: room for it now.
    if (wasFull && n > 0) wake_.Raise();
    // What arrived before the connection went is still handed out first, also past a read of
    // no bytes.
    if (n == 0 && broken_ && session_.RxFree() == kRxCapacity) return NSIO_CLOSED;
    return static_cast<int>(n);
}

int Port::Write(const uint8_t* data, int size) {
    Lock lock(mutex_);
    FlushLocked();
    if (LostLocked()) return NSIO_CLOSED;
    const size_t n = session_.QueueData(data, static_cast<size_t>(size));
    FlushLocked();
    if (LostLocked()) return NSIO_CLOSED;
    return static_cast<int>(n);
}

int Port::LineStatus() {
    Lock lock(mutex_);
    if (broken_) return NSIO_CLOSED;
    return session_.LineStatus();
}

int Port::Ioctl(int baudCode, int mode) {
    using namespace comport;
    if (baudCode < 0 || baudCode >= static_cast<int>(kSpeeds.size()) || (mode & ~0x1F) != 0)
        return NSIO_BADPARM;
    static constexpr uint8_t kParities[4] = {kParityNone, kParityEven, kParityOdd, kParityMark};
    const uint32_t speed = kSpeeds[static_cast<size_t>(baudCode)];
    const uint8_t dataSize = static_cast<uint8_t>(5 + (mode & 0x03));
    const uint8_t stopSize = (mode & 0x04) ? kStopTwo : kStopOne;
    const uint8_t parity = kParities[(mode >> 3) & 0x03];
    const uint8_t speedBytes[4] = {static_cast<uint8_t>(speed >> 24),
                                   static_cast<uint8_t>(speed >> 16),
                                   static_cast<uint8_t>(speed >> 8), static_cast<uint8_t>(speed)};

    Lock lock(mutex_);
    if (LostLocked()) return NSIO_CLOSED;
    const uint32_t baudTicket = session_.Request(Session::kBaud);
    session_.QueueCommand(kSetBaudRate, speedBytes, 4);
    const uint32_t sizeTicket = session_.Request(Session::kDataSize);
    session_.QueueCommand(kSetDataSize, &dataSize, 1);
    const uint32_t parityTicket = session_.Request(Session::kParity);
    session_.QueueCommand(kSetParity, &parity, 1);
    const uint32_t stopTicket = session_.Request(Session::kStopSize);
    session_.QueueCommand(kSetStopSize, &stopSize, 1);
    FlushLocked();
    const int answered = AwaitAnswer(lock, timings_.configReply, [&] {
        return LostLocked() || (session_.Answered(Session::kBaud, baudTicket) &&
                                session_.Answered(Session::kDataSize, sizeTicket) &&
                                session_.Answered(Session::kParity, parityTicket) &&
                                session_.Answered(Session::kStopSize, stopTicket));
    });
    if (LostLocked()) return NSIO_CLOSED;
    if (answered < 0) return NSIO_ABORTED;
    if (answered == 0) return NSIO_TIMEOUT;
    if (session_.Answer(Session::kBaud) != speed ||
        session_.Answer(Session::kDataSize) != dataSize ||
        session_.Answer(Session::kParity) != parity ||
        session_.Answer(Session::kStopSize) != stopSize)
        return NSIO_REFUSED;
    return 0;
}

template <class Answered> int Port::AwaitAnswer(Lock& lock, Ms timeout, Answered answered) {
    const intptr_t abort = controlAbort_;
    if (!IsWake(abort)) return answered_.wait_for(lock, timeout, answered) ? 1 : 0;
    // The caller's wake-up is a descriptor or handle: wait where it can end the wait too. answers_
    // is raised with every notification of answered_, so nothing raised after the check is missed.
    const auto deadline = Clock::now() + timeout;
    while (!answered()) {
        const int left = RemainingMs(deadline);
        if (left == 0) return 0;
        lock.unlock();
        const bool aborted = answers_.Wait(abort, left);
        lock.lock();
        if (aborted && !answered()) return -1;
    }
    return 1;
}

int Port::Control(Session::Reply kind, uint8_t value) {
    // Servers that cannot confirm a modem line (ser2net on a pseudo-terminal) stay silent, and a
    // line request that went out counts as made. Flow control decides whether bytes are lost, so
    // only the server's own confirmation makes it a success.
    const bool line = kind != Session::kFlow;
    Lock lock(mutex_);
    if (LostLocked()) return NSIO_CLOSED;
    const uint32_t ticket = session_.Request(kind);
    session_.QueueCommand(comport::kSetControl, &value, 1);
    FlushLocked();
    const int answered =
        AwaitAnswer(lock, line ? timings_.controlReply : timings_.configReply,
                    [&] { return LostLocked() || session_.Answered(kind, ticket); });
    if (LostLocked()) return NSIO_CLOSED;
    if (answered < 0) return NSIO_ABORTED;
    if (answered == 0) return line ? 0 : NSIO_TIMEOUT;
    return session_.Answer(kind) == value ? 0 : NSIO_REFUSED;
}

int Port::Flow(int mode) {
    if (mode == NSIO_FLOW_NONE) return Control(Session::kFlow, comport::kFlowNone);
    if (mode == NSIO_FLOW_HARDWARE) return Control(Session::kFlow, comport::kFlowHardware);
    return NSIO_BADPARM;
}

int Port::Dtr(bool on) {
    return Control(Session::kDtr, on ? comport::kDtrOn : comport::kDtrOff);
}

int Port::Rts(bool on) {
    return Control(Session::kRts, on ? comport::kRtsOn : comport::kRtsOff);
}

} // namespace ipserial

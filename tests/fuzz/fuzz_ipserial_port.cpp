// ipserial's Port and its nsio_ entry points against a hostile RFC 2217 server that the fuzzer
// scripts. The port runs over one end of a socket pair (OpenPortOver, with waits of a few ms);
// the fuzzing thread plays the server on the other end and makes the client's calls, the control
// calls on a second thread so that the server can answer them while they wait.
//
// The input, read from the front: one byte, the number of server steps before the port is opened
// (0 to 7); then steps, each an operation byte and its arguments (see the switch below). Running
// out of input means: the server sends what it still owes and ends its side, the client reads
// until the connection ends, then closes.
//
// Checked on every input:
//   - every entry point returns a value from its documented set; NSIO_CLOSED only once the server
//     has closed, no byte after it, a read after nsio_wait's 1 hands out bytes;
//   - the open ends as the server's negotiation allows: a port only after DO COM-PORT-OPTION, a
//     failure only after DONT or the server's end, a time-out only when neither came within what
//     the port can read while nobody reads;
//   - what the server receives decodes (Telnet, doubled IAC, well-formed subnegotiations of
//     COM-PORT-OPTION only) to exactly the data that nsio_write accepted, in order, with every
//     command where it was made: after the data accepted before it and before the data after it.
//     After a clean nsio_close (the server never closed, the flush not cut short), all of it;
//   - while the server sent whole tokens only: nsio_read hands out a prefix of the server's data,
//     and all of it once the connection has ended; nsio_lstatus gives the lines of a notification
//     the server sent, never going back and never older than one the data read shows has been
//     read; a control call's result follows the server's answer to it (a right answer gives 0, a
//     wrong one NSIO_REFUSED, none NSIO_TIMEOUT or, for a modem line, 0), where an answer that came
//     late may also give NSIO_TIMEOUT (a slow machine) but never another result;
//   - with raw bytes from the server, never more data out than bytes in;
//   - after the server has closed, reads end in NSIO_CLOSED once drained and writes fail;
//   - no call waits longer than its own time-out and a generous margin; a wait whose wake-up is
//     ready ends well within the channel's 1 s guard, whatever its time-out;
//   - nsio_close leaves no descriptor and no thread behind.
#include "Port.h"
#include "PortTable.h"
#include "Protocol.h"
#include "Socket.h"
#include "Transport.h"
#include "ipserial.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ipserial;
using namespace ipserial::telnet;

namespace {

using Clock = std::chrono::steady_clock;

// Short enough that a scripted silence costs little, long enough that an answer the server has
// already written is nearly always read in time.
constexpr PortTimings kTimings{Ms(20), Ms(10), Ms(20), Ms(10)};
// A prelude that decides COM-PORT-OPTION: the open returns as soon as it is read.
constexpr Ms kOpenDecided{3000};
constexpr Ms kOpenUndecided{5};
// What a call may take beyond its own time-out on a loaded machine.
constexpr Ms kMargin{5000};
// A wait whose wake-up is already due must end on it, not on a time-out: it is given a time-out
// far above the channel's 1 s guard and must return well within that guard.
constexpr int kWakeDueTimeoutMs = 10000;
constexpr Ms kWakeDue{400};
// How long the server may take to read to the client's end, or the client to the server's: only a
// fault makes either take long.
constexpr Ms kDrain{20000};

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_ipserial_port: %s\n", what);
    __builtin_trap();
}

struct Totals {
    uint64_t runs = 0, opened = 0, confirmed = 0, refused = 0, lateTimeouts = 0, drained = 0;
    ~Totals() {
        if (runs)
            std::fprintf(stderr,
                         "fuzz_ipserial_port: %llu runs, %llu ports opened, %llu control calls "
                         "confirmed, %llu refused, %llu timed out with their answer sent, %llu "
                         "connections read to their end\n",
                         static_cast<unsigned long long>(runs),
                         static_cast<unsigned long long>(opened),
                         static_cast<unsigned long long>(confirmed),
                         static_cast<unsigned long long>(refused),
                         static_cast<unsigned long long>(lateTimeouts),
                         static_cast<unsigned long long>(drained));
    }
} gTotals;

class FrontReader {
public:
    FrontReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::vector<uint8_t> Bytes(size_t n) {
        n = std::min(n, size_ - std::min(pos_, size_));
        std::vector<uint8_t> v(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return v;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

int CountEntries(const char* dir) {
    DIR* d = opendir(dir);
    if (!d) return -1;
    int n = 0;
    while (readdir(d))
        ++n;
    closedir(d);
    return n;
}

const bool gVerbose = std::getenv("ZEM_FUZZ_VERBOSE") != nullptr;

// An abort wake-up that is never raised, made before any input is counted: the open and the
// control calls then wait where it could end them, and must behave exactly as without it.
const int gNeverRaised = eventfd(0, EFD_CLOEXEC);

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<Ms>(Clock::now() - since).count());
}

void CheckTime(Clock::time_point since, Ms own, const char* what) {
    Check(Clock::now() - since <= own + kMargin, what);
}

// A command as the server must read it.
struct Command {
    uint8_t code;
    std::vector<uint8_t> payload;
    size_t dataBefore; // data bytes accepted before it was made
};

// The server's reading of the client's bytes.
class ClientBytes {
public:
    std::deque<uint8_t> data;     // accepted by nsio_write, not yet read by the server
    std::deque<Command> commands; // made, not yet read by the server
    size_t accepted = 0;          // data bytes accepted in all
    size_t dataSeen = 0;
    size_t commandsSeen = 0;

    void Accept(const uint8_t* p, size_t n) {
        data.insert(data.end(), p, p + n);
        accepted += n;
    }
    void Expect(uint8_t code, std::vector<uint8_t> payload) {
        commands.push_back({code, std::move(payload), accepted});
    }
    bool Idle() const { return state_ == kData; }
    bool AllSeen() const { return data.empty() && commands.empty(); }

    void Take(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            Byte(p[i]);
    }

private:
    enum State { kData, kIac, kOption, kSubOption, kSub, kSubIac };

    void Data(uint8_t b) {
        Check(!data.empty() && data.front() == b,
              "the server read a data byte that nsio_write did not accept, or out of order");
        Check(commands.empty() || commands.front().dataBefore > dataSeen,
              "data accepted after a command reached the server before it");
        data.pop_front();
        ++dataSeen;
    }

    void Byte(uint8_t b) {
        switch (state_) {
        case kData:
            if (b == kIAC)
                state_ = kIac;
            else
                Data(b);
            break;
        case kIac:
            if (b == kIAC) {
                Data(b);
                state_ = kData;
            } else if (b >= kWILL && b <= kDONT) {
                state_ = kOption;
            } else {
                Check(b == kSB, "a Telnet command the client has no reason to send");
                state_ = kSubOption;
            }
            break;
        case kOption:
            state_ = kData;
            break;
        case kSubOption:
            Check(b == kOptComPort, "a subnegotiation of another option than COM-PORT-OPTION");
            payload_.clear();
            state_ = kSub;
            break;
        case kSub:
            if (b == kIAC)
                state_ = kSubIac;
            else
                payload_.push_back(b);
            break;
        case kSubIac:
            if (b == kIAC) {
                payload_.push_back(b);
                state_ = kSub;
                break;
            }
            Check(b == kSE, "a subnegotiation not ended by IAC SE");
            Check(!payload_.empty(), "a command without its code");
            Check(!commands.empty() && commands.front().code == payload_[0] &&
                      std::equal(payload_.begin() + 1, payload_.end(),
                                 commands.front().payload.begin(), commands.front().payload.end()),
                  "a command the client did not make, or out of order");
            Check(commands.front().dataBefore == dataSeen,
                  "a command did not come right after the data accepted before it");
            commands.pop_front();
            ++commandsSeen;
            state_ = kData;
            break;
        }
    }

    State state_ = kData;
    std::vector<uint8_t> payload_;
};

// The answers the client asks for, by the kinds the wire gives them (SET-CONTROL's values in
// groups: flow 1-3, DTR 7-9, RTS 10-12).
enum Kind { kBaud, kDataSize, kParity, kStopSize, kFlow, kDtr, kRts, kKinds };

struct Tracker {
    uint32_t requested = 0;
    std::vector<uint32_t> values; // the answers that count, in order
    bool unsure = false;          // a stray answer may have been taken for one
};

struct Stray {
    int kind;
    size_t dataBefore;
};

// A control call running on its own thread.
class Call {
public:
    explicit Call(std::function<int()> f)
        : started_(Clock::now()), thread_([this, f = std::move(f)] {
              result_.store(f(), std::memory_order_relaxed);
              done_.store(true, std::memory_order_release);
          }) {}
    ~Call() {
        if (thread_.joinable()) thread_.join();
    }
    bool Done() const { return done_.load(std::memory_order_acquire); }
    int Join() {
        thread_.join();
        return result_.load(std::memory_order_relaxed);
    }
    Clock::time_point Started() const { return started_; }

private:
    Clock::time_point started_;
    std::atomic<int> result_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

uint8_t LineBits(uint8_t modem) {
    using namespace comport;
    return static_cast<uint8_t>(
        ((modem & kModemCts) ? NSIO_LS_CTS : 0) | ((modem & kModemDsr) ? NSIO_LS_DSR : 0) |
        ((modem & kModemRing) ? NSIO_LS_RING : 0) | ((modem & kModemDcd) ? NSIO_LS_DCD : 0));
}

constexpr uint32_t kSpeeds[20] = {50,    75,    110,    134,    150,    300,   600,
                                  1200,  1800,  2400,   4800,   7200,   9600,  19200,
                                  38400, 57600, 115200, 230400, 460800, 921600};

class Harness {
public:
    explicit Harness(FrontReader& in) : in_(in) {}

    void Run() {
        const int fdsBefore = CountEntries("/proc/self/fd");
        const int threadsBefore = CountEntries("/proc/self/task");
        int pair[2];
        Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
        server_ = pair[1];
        // A small send buffer on the client's end, so that a server that does not read soon
        // fills it and the port's queue, its wait for room and its flush on closing all run.
        const int small = 4096;
        setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        auto socket = std::make_unique<TcpSocket>();
        Check(socket->Adopt(pair[0]), "a connected socket could not be adopted");
        Check(fcntl(server_, F_SETFL, O_NONBLOCK) == 0, "server socket");

        const int prelude = in_.U8() % 8;
        for (int i = 0; i < prelude && !in_.Empty(); ++i)
            ServerStep(in_.U8());
        FlushServer();
        Open(std::move(socket));
        if (id_ >= 0) {
            while (!in_.Empty() && id_ >= 0)
                Step(in_.U8());
            if (id_ >= 0) End();
        }
        if (server_ >= 0) close(server_);
        Check(CountEntries("/proc/self/fd") == fdsBefore, "a descriptor left after nsio_close");
        // A thread just joined may still show for a moment.
        for (int i = 0; i < 100 && CountEntries("/proc/self/task") != threadsBefore; ++i)
            std::this_thread::sleep_for(Ms(10));
        Check(CountEntries("/proc/self/task") == threadsBefore, "a thread left after nsio_close");
    }

private:
    // --- the server's side -------------------------------------------------------------------

    void Put(uint8_t b) { out_.push_back(b); }
    void PutEscaped(uint8_t b) {
        Put(b);
        if (b == kIAC) Put(kIAC);
    }
    size_t WireEnd() const { return written_ + out_.size(); }

    void SendData(const std::vector<uint8_t>& bytes) {
        if (ended_) return; // nothing goes out after the server ended its side
        for (uint8_t b : bytes) {
            PutEscaped(b);
            data_.push_back(b);
            dataEnd_.push_back(WireEnd());
        }
        sentBytes_ += bytes.size();
    }

    void SendNegotiation(uint8_t verb, uint8_t option) {
        if (ended_) return; // nothing goes out after the server ended its side
        for (uint8_t b : {kIAC, verb, option})
            Put(b);
        // Behind a full receive buffer of data, the client cannot read the decision until the
        // caller reads, and nobody reads during the open.
        if (option == kOptComPort && (verb == kDO || verb == kDONT) && data_.size() < kRxCapacity)
            comPortDecided_ = true;
        if (option == kOptComPort && verb == kDO) mayAgree_ = true;
        if (option == kOptComPort && verb == kDONT) mayRefuse_ = true;
        sentBytes_ += 3;
    }

    // A COM-PORT-OPTION answer or notification; the model takes it as the client will.
    void SendSub(uint8_t code, const std::vector<uint8_t>& payload) {
        if (ended_) return; // nothing goes out after the server ended its side
        for (uint8_t b : {kIAC, kSB, kOptComPort})
            Put(b);
        PutEscaped(code);
        for (uint8_t b : payload)
            PutEscaped(b);
        Put(kIAC);
        Put(kSE);
        sentBytes_ += payload.size() + 6;
        if (code < comport::kServerOffset) return;
        const int c = code - comport::kServerOffset;
        int kind = -1;
        uint32_t value = 0;
        if (c == comport::kSetBaudRate && payload.size() == 4) {
            kind = kBaud;
            value = uint32_t(payload[0]) << 24 | uint32_t(payload[1]) << 16 |
                    uint32_t(payload[2]) << 8 | payload[3];
        } else if (payload.size() == 1) {
            const uint8_t v = payload[0];
            value = v;
            if (c == comport::kSetDataSize) kind = kDataSize;
            if (c == comport::kSetParity) kind = kParity;
            if (c == comport::kSetStopSize) kind = kStopSize;
            if (c == comport::kSetControl && v >= 1 && v <= 3) kind = kFlow;
            if (c == comport::kSetControl && v >= 7 && v <= 9) kind = kDtr;
            if (c == comport::kSetControl && v >= 10 && v <= 12) kind = kRts;
            if (c == comport::kNotifyModemState) lines_.push_back({data_.size(), LineBits(v)});
        }
        if (kind < 0) return;
        Tracker& t = trackers_[kind];
        if (t.values.size() < t.requested)
            t.values.push_back(value);
        else
            strays_.push_back({kind, data_.size()});
    }

    void SendRaw(const std::vector<uint8_t>& bytes) {
        if (ended_) return; // nothing goes out after the server ended its side
        out_.insert(out_.end(), bytes.begin(), bytes.end());
        sentBytes_ += bytes.size();
        clean_ = false;
    }

    // Writes what the socket takes now.
    void FlushServer() {
        while (!out_.empty() && !serverClosed_) {
            ssize_t n = send(server_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0) return;
            out_.erase(out_.begin(), out_.begin() + n);
            written_ += static_cast<size_t>(n);
        }
    }

    // Reads what the client sent, waiting up to waitMs for the first byte.
    void ServerRead(int waitMs) {
        if (serverClosed_ || clientEof_) return;
        pollfd p{server_, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) return;
        uint8_t buf[65536];
        ssize_t n = recv(server_, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) clientEof_ = true;
        if (n > 0) fromClient_.Take(buf, static_cast<size_t>(n));
    }

    void ServerReadUntil(const std::function<bool()>& done, Ms limit) {
        const auto until = Clock::now() + limit;
        while (!done() && !serverClosed_ && !clientEof_ && Clock::now() < until)
            ServerRead(1);
    }

    // 0: the server ends its sending side and reads on; 1: it closes. What the socket had not
    // taken by then never goes.
    void ServerClose(int how) {
        if (ended_) return;
        FlushServer();
        ended_ = true;
        // An escape cut in two is no data byte.
        while (!dataEnd_.empty() && dataEnd_.back() > written_) {
            dataEnd_.pop_back();
            data_.pop_back();
        }
        endReachable_ = data_.size() < kRxCapacity;
        out_.clear();
        if (how == 0) {
            shutdown(server_, SHUT_WR);
            return;
        }
        close(server_);
        server_ = -1;
        serverClosed_ = true;
    }

    void ServerStep(uint8_t op) {
        switch (op % 6) {
        case 0: // data, escaped
            SendData(in_.Bytes(in_.U8() % 64));
            break;
        case 1: { // a negotiation, mostly of the options the client speaks of
            const uint8_t verb = static_cast<uint8_t>(kWILL + in_.U8() % 4);
            const uint8_t pick = in_.U8();
            const uint8_t option = pick % 4 == 0   ? kOptBinary
                                   : pick % 4 == 1 ? kOptSuppressGoAhead
                                   : pick % 4 == 2 ? kOptComPort
                                                   : in_.U8();
            SendNegotiation(verb, option);
            break;
        }
        case 2: { // an answer to no request of the moment, or a modem state
            const uint8_t code = static_cast<uint8_t>(comport::kServerOffset + in_.U8() % 12);
            SendSub(code, in_.Bytes(in_.U8() % 6));
            break;
        }
        case 3: // raw bytes: from here on any byte may be anything
            SendRaw(in_.Bytes(in_.U8() % 64));
            break;
        case 4: { // much data: more than the client buffers
            const size_t n = static_cast<size_t>(in_.U8()) * 512;
            std::vector<uint8_t> bytes(n);
            for (size_t i = 0; i < n; ++i)
                bytes[i] = static_cast<uint8_t>(i * 7 + data_.size());
            SendData(bytes);
            break;
        }
        case 5:
            ServerClose(in_.U8() % 2);
            break;
        }
        FlushServer();
    }

    // --- the client's side -------------------------------------------------------------------

    void Open(std::unique_ptr<TcpSocket> socket) {
        const Ms timeout =
            endReachable_ || (clean_ && comPortDecided_) ? kOpenDecided : kOpenUndecided;
        const auto t0 = Clock::now();
        std::string cause;
        id_ = OpenPortOver(PlainTransportOver(std::move(socket)), timeout, kTimings, &cause,
                           gNeverRaised);
        CheckTime(t0, timeout, "the open waited past its time-out");
        Check(id_ >= 0 || id_ == NSIO_TIMEOUT || id_ == NSIO_CONNECTFAIL,
              "the open gave a result outside its set");
        Check(id_ < 0 || !cause.size(), "a cause with a success");
        Check(id_ >= 0 || !cause.empty(), "a failed open without its cause");
        if (clean_) {
            // The COM-PORT-OPTION decisions the server made are the only ways out, besides a
            // server that left and a prelude that decided nothing.
            if (id_ >= 0) Check(mayAgree_, "opened without DO COM-PORT-OPTION");
            if (id_ == NSIO_CONNECTFAIL) Check(mayRefuse_ || ended_, "a refusal nobody made");
            if (id_ == NSIO_TIMEOUT)
                Check(!comPortDecided_ && !endReachable_,
                      "a time-out though the server had decided or gone");
        }
        if (id_ < 0) return;
        ++gTotals.opened;
        fromClient_.Expect(comport::kSetModemStateMask, {comport::kModemMaskAll});
    }

    bool MayBeClosed() const { return ended_; }

    void CheckGot() {
        if (clean_)
            Check(got_.size() <= data_.size() &&
                      std::equal(got_.begin(), got_.end(), data_.begin()),
                  "nsio_read handed out other bytes than the server's data");
        else
            Check(got_.size() <= sentBytes_, "more data out than bytes in");
    }

    int ClientRead(int len, bool nullBuffer = false) {
        std::vector<char> buf(static_cast<size_t>(std::max(len, 0)) + 1);
        const auto t0 = Clock::now();
        const int r = nsio_read(id_, nullBuffer ? nullptr : buf.data(), len);
        CheckTime(t0, Ms(0), "nsio_read waited");
        if (len < 0 || (len > 0 && nullBuffer)) {
            Check(r == NSIO_BADPARM, "nsio_read took a bad argument");
            return r;
        }
        Check(r == NSIO_CLOSED || (r >= 0 && r <= len), "nsio_read gave a result outside its set");
        Check(r != NSIO_CLOSED || MayBeClosed(), "nsio_read: closed, though the server is there");
        if (gVerbose) std::fprintf(stderr, "  nsio_read(%d) = %d\n", len, r);
        if (r == NSIO_CLOSED) readClosed_ = true;
        if (r > 0) {
            Check(!readClosed_, "bytes handed out after NSIO_CLOSED");
            got_.insert(got_.end(), buf.begin(), buf.begin() + r);
            CheckGot();
        }
        return r;
    }

    int ClientWrite(const std::vector<uint8_t>& bytes, bool nullBuffer, bool negative) {
        const int len =
            negative ? -1 - static_cast<int>(bytes.size()) : static_cast<int>(bytes.size());
        const auto t0 = Clock::now();
        const int r = nsio_write(
            id_, nullBuffer ? nullptr : reinterpret_cast<const char*>(bytes.data()), len);
        CheckTime(t0, Ms(0), "nsio_write waited");
        if (len < 0 || (len > 0 && nullBuffer)) {
            Check(r == NSIO_BADPARM, "nsio_write took a bad argument");
            return r;
        }
        Check(r == NSIO_CLOSED || (r >= 0 && r <= len), "nsio_write gave a result outside its set");
        Check(r != NSIO_CLOSED || MayBeClosed(), "nsio_write: closed, though the server is there");
        if (r > 0) fromClient_.Accept(bytes.data(), static_cast<size_t>(r));
        return r;
    }

    void ClientLineStatus() {
        const auto t0 = Clock::now();
        const int r = nsio_lstatus(id_);
        CheckTime(t0, Ms(0), "nsio_lstatus waited");
        Check(r == NSIO_CLOSED || (r >= 0 && r <= 15),
              "nsio_lstatus gave a result outside its set");
        Check(r != NSIO_CLOSED || MayBeClosed(),
              "nsio_lstatus: closed, though the server is there");
        if (r < 0 || !clean_) return;
        // Notifications that data already read shows to have arrived are the oldest it may give.
        size_t from = lineIndex_;
        for (size_t k = 0; k < lines_.size(); ++k)
            if (lines_[k].first < got_.size()) from = std::max(from, k);
        size_t k = from;
        while (k < lines_.size() && lines_[k].second != r)
            ++k;
        Check(k < lines_.size(), "nsio_lstatus gave lines the server never sent, or older ones");
        lineIndex_ = k;
    }

    void ClientWait(int timeoutMs, bool wake) {
        int fd = -1;
        if (wake) {
            fd = eventfd(1, EFD_CLOEXEC); // ready from the start
            Check(fd >= 0, "eventfd");
            timeoutMs = kWakeDueTimeoutMs;
        }
        const auto t0 = Clock::now();
        const int r = nsio_wait(id_, timeoutMs, wake ? fd : NSIO_NO_WAKE);
        if (wake)
            Check(Clock::now() - t0 <= kWakeDue, "nsio_wait did not end on its ready wake-up");
        else
            CheckTime(t0, Ms(std::max(timeoutMs, 0)), "nsio_wait waited past its time-out");
        if (fd >= 0) close(fd);
        Check(r == 1 || r == 0 || r == NSIO_CLOSED, "nsio_wait gave a result outside its set");
        Check(r != NSIO_CLOSED || MayBeClosed(), "nsio_wait: closed, though the server is there");
        if (r == 1) Check(ClientRead(65536) > 0, "nsio_wait said bytes wait, nsio_read found none");
        if (r == NSIO_CLOSED)
            Check(ClientRead(65536) == NSIO_CLOSED, "nsio_wait said closed, nsio_read did not");
    }

    // A control call with the server's answer as the input says.
    void Control(uint8_t which) {
        struct Request {
            int kind;
            uint8_t code;
            std::vector<uint8_t> payload;
            uint32_t value; // what the answer must say
        };
        std::vector<Request> requests;
        std::function<int()> call;
        bool line = false, bad = false;
        const int id = id_;
        switch (which % 4) {
        case 0: {
            const int baud = in_.U8() % 22; // 20 and 21 out of range
            int mode = in_.U8();
            if (mode & 0x80) mode &= 0x1F;
            bad = baud >= 20 || (mode & ~0x1F) != 0;
            call = [=] { return nsio_ioctl(id, baud, mode); };
            if (bad) break;
            static constexpr uint8_t kParities[4] = {comport::kParityNone, comport::kParityEven,
                                                     comport::kParityOdd, comport::kParityMark};
            const uint32_t speed = kSpeeds[baud];
            const uint8_t size = static_cast<uint8_t>(5 + (mode & 3));
            const uint8_t parity = kParities[(mode >> 3) & 3];
            const uint8_t stop = (mode & NSIO_STOP_2) ? comport::kStopTwo : comport::kStopOne;
            requests.push_back(
                {kBaud,
                 comport::kSetBaudRate,
                 {uint8_t(speed >> 24), uint8_t(speed >> 16), uint8_t(speed >> 8), uint8_t(speed)},
                 speed});
            requests.push_back({kDataSize, comport::kSetDataSize, {size}, size});
            requests.push_back({kParity, comport::kSetParity, {parity}, parity});
            requests.push_back({kStopSize, comport::kSetStopSize, {stop}, stop});
            break;
        }
        case 1: {
            const int mode = in_.U8() % 5; // 0 and 3 are modes
            bad = mode != NSIO_FLOW_NONE && mode != NSIO_FLOW_HARDWARE;
            call = [=] { return nsio_flowctrl(id, mode); };
            const uint8_t v = mode == NSIO_FLOW_NONE ? comport::kFlowNone : comport::kFlowHardware;
            if (!bad) requests.push_back({kFlow, comport::kSetControl, {v}, v});
            break;
        }
        case 2:
        case 3: {
            const int on = in_.U8() % 3; // any non-zero asserts
            const bool dtr = which % 4 == 2;
            line = true;
            call = [=] { return dtr ? nsio_DTR(id, on) : nsio_RTS(id, on); };
            const uint8_t v = dtr ? (on ? comport::kDtrOn : comport::kDtrOff)
                                  : (on ? comport::kRtsOn : comport::kRtsOff);
            requests.push_back({dtr ? kDtr : kRts, comport::kSetControl, {v}, v});
            break;
        }
        }
        const uint8_t plan = in_.U8();
        const bool readDuring = plan & 0x80;

        // The requests are counted before any answer can reach them; a stray answer still on
        // its way may be taken for one.
        std::vector<uint32_t> tickets;
        bool sure = clean_;
        for (const Request& r : requests) {
            Tracker& t = trackers_[r.kind];
            for (const Stray& s : strays_)
                if (s.kind == r.kind && s.dataBefore >= got_.size()) t.unsure = true;
            sure = sure && !t.unsure;
            tickets.push_back(++t.requested);
            fromClient_.Expect(r.code, r.payload);
        }
        strays_.erase(std::remove_if(strays_.begin(), strays_.end(),
                                     [&](const Stray& s) {
                                         for (const Request& r : requests)
                                             if (r.kind == s.kind) return true;
                                         return false;
                                     }),
                      strays_.end());
        const size_t commandsWanted = fromClient_.commandsSeen + fromClient_.commands.size();

        Call running(call);
        // The server answers once it has read the requests.
        ServerReadUntil(
            [&] { return running.Done() || fromClient_.commandsSeen >= commandsWanted; }, kMargin);
        bool closedInstead = false;
        auto answer = [&](const Request& r, uint32_t value) {
            std::vector<uint8_t> p;
            if (r.kind == kBaud)
                p = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),
                     uint8_t(value)};
            else
                p = {uint8_t(value)};
            SendSub(static_cast<uint8_t>(comport::kServerOffset + r.code), p);
        };
        if (!serverClosed_ && !ended_) {
            switch (plan % 8) {
            case 0: // silence
                break;
            case 1: // right
                for (const Request& r : requests)
                    answer(r, r.value);
                break;
            case 2: // right, in another order
                for (size_t i = requests.size(); i-- > 0;)
                    answer(requests[i], requests[i].value);
                break;
            case 3: { // one wrong (SET-CONTROL: another value of the same group)
                const size_t wrong = requests.empty() ? 0 : in_.U8() % requests.size();
                const uint8_t delta = static_cast<uint8_t>(1 + in_.U8() % 2);
                for (size_t i = 0; i < requests.size(); ++i) {
                    uint32_t v = requests[i].value;
                    if (i == wrong) {
                        if (requests[i].kind == kBaud)
                            v += delta;
                        else if (requests[i].code == comport::kSetControl)
                            v = (v - 1) / 3 * 3 + 1 + (v - 1 + delta) % 3;
                        else
                            v = static_cast<uint8_t>(v + delta);
                    }
                    answer(requests[i], v);
                }
                break;
            }
            case 4: { // some of them
                const size_t n = requests.empty() ? 0 : in_.U8() % requests.size();
                for (size_t i = 0; i < n; ++i)
                    answer(requests[i], requests[i].value);
                break;
            }
            case 5: // right, behind data, a modem state and a negotiation
                SendData(in_.Bytes(in_.U8() % 16));
                SendSub(comport::kServerOffset + comport::kNotifyModemState, {in_.U8()});
                SendNegotiation(kWILL, kOptSuppressGoAhead);
                for (const Request& r : requests)
                    answer(r, r.value);
                break;
            case 6: // each twice: the second is an answer to nothing
                for (const Request& r : requests) {
                    answer(r, r.value);
                    answer(r, r.value);
                }
                break;
            case 7: // the server goes instead
                ServerClose(in_.U8() % 2);
                closedInstead = true;
                break;
            }
            FlushServer();
        }
        if (readDuring)
            while (ClientRead(4096) > 0) {
            }
        const int result = running.Join();
        if (gVerbose)
            std::fprintf(stderr, "  control %d plan %d = %d\n", which % 4, plan % 8, result);
        const Ms own = bad ? Ms(0) : line ? kTimings.controlReply : kTimings.configReply;
        CheckTime(running.Started(), own, "a control call waited past its time-out");
        if (bad) {
            Check(result == NSIO_BADPARM, "a control call took a bad argument");
            return;
        }
        Check(result == 0 || result == NSIO_TIMEOUT || result == NSIO_REFUSED ||
                  result == NSIO_CLOSED,
              "a control call gave a result outside its set");
        Check(result != NSIO_CLOSED || MayBeClosed(),
              "a control call: closed, though the server is there");
        if (result == NSIO_CLOSED || !sure || closedInstead || ended_) return;
        bool answered = true, right = true;
        for (size_t i = 0; i < requests.size(); ++i) {
            const Tracker& t = trackers_[requests[i].kind];
            if (t.values.size() < tickets[i]) {
                answered = false;
                break;
            }
            right = right && t.values[tickets[i] - 1] == requests[i].value;
        }
        if (!answered) {
            Check(result == (line ? 0 : NSIO_TIMEOUT),
                  "a control call nobody answered did not time out");
            return;
        }
        // The answer came, but maybe after the call had stopped waiting for it.
        if ((!line && result == NSIO_TIMEOUT) || (line && result == 0 && !right)) {
            ++gTotals.lateTimeouts;
            return;
        }
        Check(result == (right ? 0 : NSIO_REFUSED), "a control call's result is not its answer's");
        ++(right ? gTotals.confirmed : gTotals.refused);
    }

    // nsio_close on its own thread while the server reads what it owes.
    void ClientClose() {
        const bool flushable = !ended_;
        const int id = id_;
        Call closing([id] { return nsio_close(id); });
        ServerReadUntil([&] { return closing.Done(); }, kDrain);
        const int r = closing.Join();
        ServerReadUntil([&] { return false; }, kDrain); // to the client's end
        const long took = ElapsedMs(closing.Started());
        CheckTime(closing.Started(), kTimings.closeFlush + kTimings.closeDrain,
                  "nsio_close waited past its time-outs");
        Check(r == 0, "nsio_close of an open port failed");
        if (flushable && took < kTimings.closeFlush.count()) {
            Check(clientEof_, "the server never saw the client's end");
            Check(fromClient_.AllSeen() && fromClient_.Idle(),
                  "nsio_close did not deliver everything accepted before it");
        }
        closedId_ = id_;
        id_ = -1;
    }

    // Every entry point on a port id that is not open.
    void BadPort(int id) {
        char b[4] = {};
        Check(nsio_read(id, b, 4) == NSIO_BADPORT && nsio_write(id, b, 4) == NSIO_BADPORT &&
                  nsio_lstatus(id) == NSIO_BADPORT &&
                  nsio_wait(id, 0, NSIO_NO_WAKE) == NSIO_BADPORT &&
                  nsio_ioctl(id, 16, 3) == NSIO_BADPORT && nsio_flowctrl(id, 0) == NSIO_BADPORT &&
                  nsio_DTR(id, 1) == NSIO_BADPORT && nsio_RTS(id, 1) == NSIO_BADPORT &&
                  nsio_close(id) == NSIO_BADPORT,
              "a call on a port that is not open did not give NSIO_BADPORT");
    }

    // nsio_open and nsio_open_ex with any address text and a TCP port no server has: refused
    // before any connection is tried, the cause one line cut to the room given.
    void OpenWithBadPort() {
        const std::vector<uint8_t> text = in_.Bytes(in_.U8() % 32);
        const std::string address(text.begin(), text.end()); // a NUL ends it early
        const uint8_t p = in_.U8();
        const int port = p % 3 == 0 ? 0 : p % 3 == 1 ? -p : 65536 + p;
        const int room = in_.U8() % 80;
        std::vector<char> cause(static_cast<size_t>(room) + 8, '\x7f');
        Check(nsio_open(address.c_str(), port, 1) == NSIO_BADPARM &&
                  nsio_open_ex(address.c_str(), port, 1, nullptr, room ? cause.data() : nullptr,
                               room) == NSIO_BADPARM,
              "an open with a TCP port out of range was not refused");
        if (room == 0) return;
        const char* begin = cause.data();
        const char* end = static_cast<const char*>(std::memchr(begin, 0, room));
        Check(end != nullptr, "the cause does not end within its room");
        Check(std::find_if(begin, end, [](char c) { return c == '\r' || c == '\n'; }) == end,
              "the cause is not one line");
        Check(std::all_of(cause.begin() + room, cause.end(), [](char c) { return c == '\x7f'; }),
              "the cause was written past its room");
        Check(nsio_init() == 0 && nsio_end() == 0 && nsio_end() == NSIO_BADPARM,
              "nsio_init and nsio_end do not balance");
    }

    void Step(uint8_t op) {
        if (gVerbose) std::fprintf(stderr, "step %d\n", op % 13);
        switch (op % 13) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
        case 5: // the server sends, or goes
            ServerStep(op % 13);
            break;
        case 6: // the server reads what has come
            ServerRead(in_.U8() % 4);
            break;
        case 7: { // nsio_read, sometimes with bad arguments
            const uint8_t a = in_.U8();
            if (a == 0xFF)
                ClientRead(-1);
            else if (a == 0xFE)
                ClientRead(8, true);
            else if (a == 0xFD)
                ClientRead(0, true);
            else
                ClientRead(a * 64);
            break;
        }
        case 8: { // nsio_write
            std::vector<uint8_t> bytes = in_.Bytes(in_.U8());
            const uint8_t how = in_.U8();
            if (how % 8 == 1) bytes.resize(bytes.size() + 20000, kIAC); // past the queue's limit
            ClientWrite(bytes, how % 8 == 2, how % 8 == 3);
            break;
        }
        case 9:
            ClientLineStatus();
            break;
        case 10: {
            const uint8_t a = in_.U8();
            ClientWait(static_cast<int>(a % 4) - 1, a & 0x80);
            break;
        }
        case 11:
            Control(in_.U8());
            break;
        case 12: {
            const uint8_t a = in_.U8();
            if (a % 4 == 0) {
                BadPort(-1 - a);
            } else if (a % 4 == 2) {
                BadPort(64 + a);
                OpenWithBadPort();
            } else {
                ClientClose();
                BadPort(closedId_);
            }
            break;
        }
        }
    }

    // Out of input: the server sends what it owes and ends its side; the client reads until the
    // connection ends, finds it gone for writing, and closes.
    void End() {
        const auto until = Clock::now() + kDrain;
        while (!out_.empty() && !serverClosed_ && Clock::now() < until) {
            FlushServer();
            if (ClientRead(65536) == NSIO_CLOSED) break;
        }
        ServerClose(0);
        int r = 0;
        while (Clock::now() < until) {
            r = ClientRead(65536);
            if (r == NSIO_CLOSED) break;
            if (r == 0) nsio_wait(id_, 2, NSIO_NO_WAKE);
        }
        Check(r == NSIO_CLOSED, "reads never ended in NSIO_CLOSED after the server had gone");
        ++gTotals.drained;
        if (clean_)
            Check(got_.size() == data_.size(), "nsio_read never handed out all the server's data");
        const uint8_t one = 'x';
        Check(nsio_write(id_, reinterpret_cast<const char*>(&one), 1) == NSIO_CLOSED,
              "nsio_write on a connection the server ended did not fail");
        Check(nsio_lstatus(id_) == NSIO_CLOSED, "nsio_lstatus on an ended connection");
        Check(nsio_ioctl(id_, 16, 3) == NSIO_CLOSED, "nsio_ioctl on an ended connection");
        ClientClose();
    }

    FrontReader& in_;
    int server_ = -1;
    int id_ = -1;
    int closedId_ = -1;

    // Server side.
    std::vector<uint8_t> out_;  // not yet taken by the socket
    size_t written_ = 0;        // bytes the socket took
    size_t sentBytes_ = 0;      // every byte the server made
    bool clean_ = true;         // whole tokens only
    bool ended_ = false;        // the server ended its side or closed
    bool endReachable_ = false; // and less than a full receive buffer of data came before
    bool serverClosed_ = false;
    bool clientEof_ = false;
    bool comPortDecided_ = false, mayAgree_ = false, mayRefuse_ = false;
    std::vector<uint8_t> data_;                         // the server's data bytes
    std::vector<size_t> dataEnd_;                       // where each ends on the wire
    std::vector<std::pair<size_t, int>> lines_{{0, 0}}; // (data bytes before, line bits)
    Tracker trackers_[kKinds];
    std::vector<Stray> strays_;
    ClientBytes fromClient_;

    // Client side.
    std::vector<uint8_t> got_;
    bool readClosed_ = false;
    size_t lineIndex_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    FrontReader in(input, size);
    Harness(in).Run();
    ++gTotals.runs;
    return 0;
}

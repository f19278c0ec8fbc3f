// ipserial's Telnet COM-PORT-OPTION session, with the fuzzer as both the server and the user. The
// input is a list of steps read from the front (see the switch below): the server's bytes are
// built from tokens (data, negotiations, answers, modem states) or taken raw, and reach the
// session as the socket would hand them over; the user queues data and commands, asks for
// answers, reads, and lets the socket take bytes.
//
// Checked on every input:
//   - the bytes the session sends decode (as the server reads them) to exactly the data and the
//     commands queued, in the order they were queued, between well-formed negotiations;
//   - while the server's bytes are made of whole tokens, the data read is exactly the data the
//     server sent, each request is answered by the first matching answer after it and by no
//     other, the modem lines and the COM-PORT-OPTION state are the last ones the server gave;
//   - with raw bytes in the stream, no more data comes out than went in.
#include "Session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

using namespace ipserial;
using namespace ipserial::telnet;

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_rfc2217: %s\n", what);
    __builtin_trap();
}

class FrontReader {
public:
    FrontReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::vector<uint8_t> Bytes(size_t n) {
        n = std::min(n, size_ - pos_);
        std::vector<uint8_t> v(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return v;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// What the user queued, as the server must see it.
struct Sent {
    bool command;
    uint8_t byte;                 // a data byte, or the command code
    std::vector<uint8_t> payload; // a command's
};

// The server's reading of the session's bytes.
class ServerReader {
public:
    explicit ServerReader(std::deque<Sent>& expected) : expected_(expected) {}

    void Take(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            Byte(p[i]);
    }
    // The session dropped what it had not sent: what was queued and not yet seen is gone.
    void Dropped() {
        state_ = kData;
        expected_.clear();
    }
    bool Idle() const { return state_ == kData; }

private:
    enum State { kData, kIac, kOption, kSubOption, kSub, kSubIac };

    void Data(uint8_t b) {
        Check(!expected_.empty() && !expected_.front().command && expected_.front().byte == b,
              "a data byte the user did not queue, or out of order");
        expected_.pop_front();
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
                Check(b == kSB, "a Telnet command the session has no reason to send");
                state_ = kSubOption;
            }
            break;
        case kOption:
            state_ = kData; // any option: the session answers what the server names
            break;
        case kSubOption:
            Check(b == kOptComPort, "a subnegotiation of another option");
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
            Check(!expected_.empty() && expected_.front().command &&
                      expected_.front().byte == payload_[0] &&
                      std::equal(payload_.begin() + 1, payload_.end(),
                                 expected_.front().payload.begin(),
                                 expected_.front().payload.end()),
                  "a command the user did not queue, or out of order");
            expected_.pop_front();
            state_ = kData;
            break;
        }
    }

    std::deque<Sent>& expected_;
    State state_ = kData;
    std::vector<uint8_t> payload_;
};

// What the session must make of the server's whole tokens.
struct Model {
    bool clean = true; // only whole tokens so far
    std::vector<uint8_t> data;
    uint32_t requested[Session::kReplyKinds] = {};
    uint32_t answered[Session::kReplyKinds] = {};
    uint32_t value[Session::kReplyKinds] = {};
    uint8_t modem = 0;
    Session::ComPort comPort = Session::ComPort::Pending;
};

// A token of the server's stream, applied to the model once the session has read all of it.
struct Token {
    size_t end;    // position after its last byte in the server's stream
    int kind = -1; // an answer of this kind (Session::Reply), or -1
    uint32_t value = 0;
    int modem = -1;   // a modem state notification
    int comPort = -1; // 1: DO COM-PORT-OPTION, 0: DONT
};

void PutEscaped(std::vector<uint8_t>& wire, uint8_t b) {
    wire.push_back(b);
    if (b == kIAC) wire.push_back(kIAC);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    FrontReader in(input, size);
    Session s;
    s.Begin();
    Model m;
    std::deque<Sent> expected;
    ServerReader server(expected);
    std::vector<uint8_t> wire; // the server's bytes, not yet handed over
    size_t wireBase = 0;       // stream position of wire[0]
    std::deque<Token> tokens;
    std::vector<uint8_t> read;
    size_t fedData = 0, fed = 0;
    uint32_t tickets[Session::kReplyKinds] = {};

    auto deliver = [&](size_t n) {
        n = std::min({n, wire.size(), s.RxFree()});
        s.Feed(wire.data(), n);
        fed += n;
        wire.erase(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(n));
        wireBase += n;
        while (!tokens.empty() && tokens.front().end <= wireBase) {
            const Token t = tokens.front();
            tokens.pop_front();
            if (t.kind >= 0 && m.answered[t.kind] < m.requested[t.kind]) {
                ++m.answered[t.kind];
                m.value[t.kind] = t.value;
            }
            if (t.modem >= 0) m.modem = static_cast<uint8_t>(t.modem);
            if (t.comPort >= 0)
                m.comPort = t.comPort ? Session::ComPort::Agreed : Session::ComPort::Refused;
        }
    };
    auto userReads = [&](size_t n) {
        uint8_t buf[512];
        n = s.ReadData(buf, std::min(n, sizeof buf));
        read.insert(read.end(), buf, buf + n);
    };
    auto socketTakes = [&](size_t n) {
        size_t pending = 0;
        const uint8_t* p = s.Pending(&pending);
        n = std::min(n, pending);
        server.Take(p, n);
        s.Consumed(n);
    };
    auto token = [&](Token t) {
        t.end = wireBase + wire.size();
        tokens.push_back(t);
    };

    while (!in.Empty()) {
        const uint8_t op = in.U8();
        switch (op % 10) {
        case 0: { // the server sends data
            for (uint8_t b : in.Bytes(in.U8() % 64)) {
                PutEscaped(wire, b);
                m.data.push_back(b);
                ++fedData;
            }
            token({});
            break;
        }
        case 1: { // the server negotiates an option
            const uint8_t verb = kWILL + in.U8() % 4;
            const uint8_t option = in.U8() % 4 == 0 ? kOptComPort : in.U8();
            wire.insert(wire.end(), {kIAC, verb, option});
            Token t;
            if (option == kOptComPort && verb == kDO) t.comPort = 1;
            if (option == kOptComPort && verb == kDONT) t.comPort = 0;
            token(t);
            break;
        }
        case 2: { // the server answers a command (or sends a modem state)
            const uint8_t code = in.U8() % 12;
            std::vector<uint8_t> payload = in.Bytes(in.U8() % 6);
            wire.insert(wire.end(),
                        {kIAC, kSB, kOptComPort, uint8_t(comport::kServerOffset + code)});
            for (uint8_t b : payload)
                PutEscaped(wire, b);
            wire.insert(wire.end(), {kIAC, kSE});
            Token t;
            using namespace comport;
            if (code == kSetBaudRate && payload.size() == 4) {
                t.kind = Session::kBaud;
                t.value = uint32_t(payload[0]) << 24 | uint32_t(payload[1]) << 16 |
                          uint32_t(payload[2]) << 8 | payload[3];
            } else if (payload.size() == 1) {
                const uint8_t v = payload[0];
                t.value = v;
                if (code == kSetDataSize) t.kind = Session::kDataSize;
                if (code == kSetParity) t.kind = Session::kParity;
                if (code == kSetStopSize) t.kind = Session::kStopSize;
                if (code == kSetControl && v >= 1 && v <= 3) t.kind = Session::kFlow;
                if (code == kSetControl && v >= 7 && v <= 9) t.kind = Session::kDtr;
                if (code == kSetControl && v >= 10 && v <= 12) t.kind = Session::kRts;
                if (code == kNotifyModemState) t.modem = v;
            }
            token(t);
            break;
        }
        case 3: { // raw bytes from the server: anything from here on
            for (uint8_t b : in.Bytes(in.U8() % 64))
                wire.push_back(b);
            m.clean = false;
            break;
        }
        case 4: // the socket hands bytes over
            deliver(in.U8() % 2 ? wire.size() : in.U8());
            break;
        case 5: // the user reads
            userReads(in.U8() * 2u);
            break;
        case 6: // the socket takes some of what we owe the server
            socketTakes(in.U8() % 2 ? SIZE_MAX : in.U8() * 64u);
            break;
        case 7: { // the user writes data
            std::vector<uint8_t> bytes = in.Bytes(in.U8());
            if (in.U8() % 8 == 0)
                bytes.resize(bytes.size() + 20000, kIAC); // past the queue's limit
            const size_t taken = s.QueueData(bytes.data(), bytes.size());
            Check(taken <= bytes.size(), "more data taken than given");
            for (size_t i = 0; i < taken; ++i)
                expected.push_back({false, bytes[i], {}});
            break;
        }
        case 8: { // the user sends a command
            const uint8_t command = in.U8();
            std::vector<uint8_t> payload = in.Bytes(in.U8() % 16);
            s.QueueCommand(command, payload.data(), payload.size());
            expected.push_back({true, command, payload});
            break;
        }
        case 9: { // the user asks for an answer, or drops what was not sent
            const uint8_t what = in.U8();
            if (what == 0xFF) {
                s.DropPending();
                server.Dropped();
                break;
            }
            const int kind = what % Session::kReplyKinds;
            tickets[kind] = s.Request(static_cast<Session::Reply>(kind));
            ++m.requested[kind];
            break;
        }
        }
        if (m.clean) {
            for (int k = 0; k < Session::kReplyKinds; ++k) {
                const auto kind = static_cast<Session::Reply>(k);
                Check(s.Answered(kind, tickets[k]) == (m.answered[k] == m.requested[k]),
                      "a request answered by the wrong answer");
                if (m.answered[k]) Check(s.Answer(kind) == m.value[k], "an answer's value");
            }
            int lines = 0;
            if (m.modem & comport::kModemCts) lines |= 0x1;
            if (m.modem & comport::kModemDsr) lines |= 0x2;
            if (m.modem & comport::kModemRing) lines |= 0x4;
            if (m.modem & comport::kModemDcd) lines |= 0x8;
            Check(s.LineStatus() == lines, "the modem lines");
            Check(s.ComPortState() == m.comPort, "the COM-PORT-OPTION state");
        }
    }
    // Everything arrives and everything leaves.
    while (!wire.empty()) {
        deliver(wire.size());
        userReads(SIZE_MAX);
    }
    for (size_t before = SIZE_MAX; before != read.size();) {
        before = read.size();
        userReads(SIZE_MAX);
    }
    while (s.HasPending())
        socketTakes(SIZE_MAX);
    if (std::getenv("ZEM_FUZZ_VERBOSE"))
        std::fprintf(stderr, "expected %zu (first: command %d byte %02X), server idle %d\n",
                     expected.size(), expected.empty() ? -1 : expected.front().command,
                     expected.empty() ? 0 : expected.front().byte, server.Idle());
    Check(expected.empty() && server.Idle(), "queued bytes the server never saw whole");
    // Once raw bytes are in, any byte may turn out to be data, but never more than came.
    Check(read.size() <= (m.clean ? fedData : fed), "more data out than in");
    if (m.clean) Check(read == m.data, "the data read differs from the data sent");
    return 0;
}

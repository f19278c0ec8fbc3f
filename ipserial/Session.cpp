#include "Session.h"

#include "ipserial.h"

#include <algorithm>
#include <cstring>

namespace ipserial {

namespace {

using namespace telnet;

bool WePerform(uint8_t option) {
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
}

bool TheyMayPerform(uint8_t option) {
    return option == kOptBinary || option == kOptSuppressGoAhead;
}

// Replies we send about one option before we stop answering it: enough for any honest
// renegotiation, and a server that keeps flipping an option cannot keep us talking.
constexpr uint8_t kAnswersPerOption = 4;

} // namespace

Session::Session() : rx_(kRxCapacity) {}

void Session::Begin() {
    for (uint8_t option : {kOptBinary, kOptSuppressGoAhead, kOptComPort}) {
        ours_[option].asked = true;
        Send(kWILL, option);
        if (TheyMayPerform(option)) {
            theirs_[option].asked = true;
            Send(kDO, option);
        }
    }
}

void Session::Feed(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        Byte(data[i]);
}

void Session::Byte(uint8_t b) {
    switch (state_) {
    case State::Data:
        if (b == kIAC)
            state_ = State::Iac;
        else
            PushData(b);
        break;
    case State::Iac:
        state_ = State::Data;
        if (b == kIAC) {
            PushData(b);
        } else if (b >= kWILL && b <= kDONT) {
            verb_ = b;
            state_ = State::Option;
        } else if (b == kSB) {
            subSize_ = 0;
            subOverflow_ = false;
            state_ = State::Sub;
        } // every other command (NOP, DM, GA, a stray SE...) carries nothing for us
        break;
    case State::Option:
        state_ = State::Data;
        Negotiate(verb_, b);
        break;
    case State::Sub:
    case State::SubIac:
        if (state_ == State::Sub && b == kIAC) {
            state_ = State::SubIac;
            break;
        }
        if (state_ == State::SubIac && b == kSE) {
            state_ = State::Data;
            Subnegotiation();
            break;
        }
        if (state_ == State::SubIac && b != kIAC) {
            // A command inside a subnegotiation means the server cut it short: drop it and
            // take the byte as the command it is.
            state_ = State::Iac;
            Byte(b);
            break;
        }
        state_ = State::Sub;
        if (subSize_ < sub_.size())
            sub_[subSize_++] = b;
        else
            subOverflow_ = true;
        break;
    }
}

void Session::Send(uint8_t verb, uint8_t option) {
    out_.insert(out_.end(), {kIAC, verb, option});
}

void Session::Negotiate(uint8_t verb, uint8_t option) {
    const bool ourSide = verb == kDO || verb == kDONT;
    OptionState& o = ourSide ? ours_[option] : theirs_[option];
    const bool supported = ourSide ? WePerform(option) : TheyMayPerform(option);
    const bool enable = verb == kDO || verb == kWILL;
    const uint8_t agree = ourSide ? kWILL : kDO;
    const uint8_t decline = ourSide ? kWONT : kDONT;
    const bool wasAsked = o.asked;
    o.asked = false;

    auto answer = [&](uint8_t reply) {
        if (o.answers >= kAnswersPerOption) return;
        ++o.answers;
        Send(reply, option);
    };

    if (enable && supported) {
        if (!o.on) {
            o.on = true;
            if (!wasAsked) answer(agree);
        }
    } else if (enable) {
        if (o.answers == 0) answer(decline); // refused once; repeats are not answered
    } else if (o.on) {
        o.on = false;
        answer(decline);
    }
    if (ourSide && option == kOptComPort) comPort_ = o.on ? ComPort::Agreed : ComPort::Refused;
}

void Session::Subnegotiation() {
    if (subOverflow_ || subSize_ < 2 || sub_[0] != kOptComPort) return;
    ComPortAnswer(sub_[1], sub_.data() + 2, subSize_ - 2);
}

void Session::ComPortAnswer(uint8_t command, const uint8_t* p, size_t size) {
    using namespace comport;
    if (command < kServerOffset) return; // client-side codes have no meaning from the server
    const uint8_t code = command - kServerOffset;
    if (code == kSetBaudRate) {
        if (size == 4)
            Answer(kBaud,
                   (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]);
        return;
    }
    if (size != 1) return;
    switch (code) {
    case kSetDataSize:
        Answer(kDataSize, p[0]);
        break;
    case kSetParity:
        Answer(kParity, p[0]);
        break;
    case kSetStopSize:
        Answer(kStopSize, p[0]);
        break;
    case kSetControl:
        if (p[0] >= 1 && p[0] <= 3)
            Answer(kFlow, p[0]);
        else if (p[0] >= 7 && p[0] <= 9)
            Answer(kDtr, p[0]);
        else if (p[0] >= 10 && p[0] <= 12)
            Answer(kRts, p[0]);
        break;
    case kNotifyModemState:
        modem_ = p[0];
        break;
    default:
        break;
    }
}

void Session::Answer(Reply kind, uint32_t value) {
    Tracker& t = replies_[kind];
    if (t.answered == t.requested) return; // nothing asked: a stray answer must not stand in
    ++t.answered;
    t.value = value;
}

uint32_t Session::Request(Reply kind) {
    return ++replies_[kind].requested;
}

bool Session::Answered(Reply kind, uint32_t ticket) const {
    return static_cast<int32_t>(replies_[kind].answered - ticket) >= 0;
}

void Session::PushData(uint8_t b) {
    if (rxCount_ == kRxCapacity) return; // Feed's contract keeps this from happening
    rx_[(rxHead_ + rxCount_) % kRxCapacity] = b;
    ++rxCount_;
}

size_t Session::ReadData(uint8_t* out, size_t size) {
    const size_t n = std::min(size, rxCount_);
    if (n == 0) return 0;
    const size_t first = std::min(n, kRxCapacity - rxHead_);
    std::memcpy(out, rx_.data() + rxHead_, first);
    std::memcpy(out + first, rx_.data(), n - first);
    rxHead_ = (rxHead_ + n) % kRxCapacity;
    rxCount_ -= n;
    return n;
}

size_t Session::QueueData(const uint8_t* data, size_t size) {
    size_t queued = out_.size() - outHead_;
    size_t taken = 0;
    for (; taken < size; ++taken) {
        const size_t need = data[taken] == kIAC ? 2 : 1;
        if (queued + need > kTxCapacity) break;
        out_.push_back(data[taken]);
        if (need == 2) out_.push_back(kIAC);
        queued += need;
    }
    return taken;
}

void Session::QueueCommand(uint8_t command, const uint8_t* payload, size_t size) {
    out_.insert(out_.end(), {kIAC, kSB, kOptComPort});
    // The code is escaped as the payload is: inside a subnegotiation a lone 255 ends it.
    for (size_t i = 0; i <= size; ++i) {
        const uint8_t b = i == 0 ? command : payload[i - 1];
        out_.push_back(b);
        if (b == kIAC) out_.push_back(kIAC);
    }
    out_.insert(out_.end(), {kIAC, kSE});
}

const uint8_t* Session::Pending(size_t* size) const {
    *size = out_.size() - outHead_;
    return out_.data() + outHead_;
}

void Session::Consumed(size_t size) {
    outHead_ += size;
    if (outHead_ >= out_.size()) {
        out_.clear();
        outHead_ = 0;
    } else if (outHead_ >= kTxCapacity) {
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(outHead_));
        outHead_ = 0;
    }
}

void Session::DropPending() {
    out_.clear();
    outHead_ = 0;
}

int Session::LineStatus() const {
    using namespace comport;
    int s = 0;
    if (modem_ & kModemCts) s |= NSIO_LS_CTS;
    if (modem_ & kModemDsr) s |= NSIO_LS_DSR;
    if (modem_ & kModemRing) s |= NSIO_LS_RING;
    if (modem_ & kModemDcd) s |= NSIO_LS_DCD;
    return s;
}

} // namespace ipserial

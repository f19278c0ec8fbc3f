#pragma once
#include "Protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ipserial {

// The client's side of one Telnet COM-PORT-OPTION connection, without sockets or locks: bytes
// from the server go in through Feed, bytes for the server come out of Pending. The owner
// serialises every call.
class Session {
public:
    enum class ComPort { Pending, Agreed, Refused };
    // Answers the server gives to our requests; each is counted against the requests made.
    enum Reply { kBaud, kDataSize, kParity, kStopSize, kFlow, kDtr, kRts, kReplyKinds };

    Session();

    // Our offers: binary and suppress-go-ahead both ways, COM-PORT-OPTION on our side.
    void Begin();
    ComPort ComPortState() const { return comPort_; }

    // Received bytes; at most RxFree() of them, so that no data byte is ever dropped.
    void Feed(const uint8_t* data, size_t size);
    size_t RxFree() const { return kRxCapacity - rxCount_; }
    size_t ReadData(uint8_t* out, size_t size);

    // Escapes and queues data while the queue stays within kTxCapacity; returns bytes taken.
    size_t QueueData(const uint8_t* data, size_t size);
    // A COM-PORT-OPTION command; always queued, after any data queued before it.
    void QueueCommand(uint8_t command, const uint8_t* payload, size_t size);
    // Counts a request of the given kind; the answer to it is the one that makes
    // Answered(kind, returned ticket) true.
    uint32_t Request(Reply kind);
    bool Answered(Reply kind, uint32_t ticket) const;
    uint32_t Answer(Reply kind) const { return replies_[kind].value; }

    bool HasPending() const { return outHead_ < out_.size(); }
    const uint8_t* Pending(size_t* size) const;
    void Consumed(size_t size);
    void DropPending();

    // nsio_lstatus bits from the last modem state notification.
    int LineStatus() const;

private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    struct Tracker {
        uint32_t requested = 0;
        uint32_t answered = 0;
        uint32_t value = 0;
    };
    struct OptionState {
        bool on = false;
        bool asked = false;  // we sent WILL/DO and wait for the answer
        uint8_t answers = 0; // replies we sent about it (see kAnswersPerOption)
    };

    void Byte(uint8_t b);
    void Negotiate(uint8_t verb, uint8_t option);
    void Subnegotiation();
    void ComPortAnswer(uint8_t command, const uint8_t* payload, size_t size);
    void Answer(Reply kind, uint32_t value);
    void Send(uint8_t verb, uint8_t option);
    void PushData(uint8_t b);

    State state_ = State::Data;
    uint8_t verb_ = 0;
    std::array<uint8_t, kSubnegotiationMax> sub_{};
    size_t subSize_ = 0;
    bool subOverflow_ = false;

    std::array<OptionState, 256> ours_{};   // options we perform (WILL/WONT from us)
    std::array<OptionState, 256> theirs_{}; // options the server performs (DO/DONT from us)
    ComPort comPort_ = ComPort::Pending;

    std::vector<uint8_t> rx_;
    size_t rxHead_ = 0, rxCount_ = 0;
    std::vector<uint8_t> out_;
    size_t outHead_ = 0;

    std::array<Tracker, kReplyKinds> replies_{};
    uint8_t modem_ = 0;
};

} // namespace ipserial

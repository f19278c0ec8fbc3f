// ipserial's session on the same server bytes, once whole and once cut into arbitrary pieces: the
// way they come out of a TLS record layer, whose record boundaries fall anywhere in an escape, a
// negotiation or a subnegotiation. Both sessions must end the same in every respect.
#include "Session.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

namespace {

using ipserial::Session;

struct Seen {
    std::vector<uint8_t> data, sent;
};

// Feeds what the session takes, reading out whenever it is full; keeps all it sent and received.
void Deliver(Session& s, const uint8_t* bytes, size_t size, Seen& seen) {
    uint8_t buf[1024];
    while (size > 0) {
        size_t n = std::min(size, s.RxFree());
        s.Feed(bytes, n);
        bytes += n;
        size -= n;
        while (size_t got = s.ReadData(buf, sizeof buf))
            seen.data.insert(seen.data.end(), buf, buf + got);
    }
    size_t pending = 0;
    while (s.HasPending()) {
        const uint8_t* out = s.Pending(&pending);
        seen.sent.insert(seen.sent.end(), out, out + pending);
        s.Consumed(pending);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // Piece lengths first, then the stream itself.
    std::vector<size_t> cuts;
    const size_t pieces = in.ConsumeIntegralInRange<size_t>(0, 32);
    for (size_t i = 0; i < pieces; ++i)
        cuts.push_back(in.ConsumeIntegralInRange<size_t>(0, 40));
    const std::vector<uint8_t> stream = in.ConsumeRemainingBytes<uint8_t>();

    Session whole, cut;
    uint32_t tickets[Session::kReplyKinds];
    for (Session* s : {&whole, &cut}) {
        s->Begin();
        for (int k = 0; k < Session::kReplyKinds; ++k)
            tickets[k] = s->Request(static_cast<Session::Reply>(k));
    }
    Seen a, b;
    Deliver(whole, stream.data(), stream.size(), a);
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        size_t n = i < cuts.size() ? cuts[i] : stream.size() - at;
        n = std::min(n, stream.size() - at);
        Deliver(cut, stream.data() + at, n, b);
        at += n;
    }
    // Whatever each still owes the server (its offers, when no byte came at all).
    Deliver(whole, nullptr, 0, a);
    Deliver(cut, nullptr, 0, b);

    if (a.data != b.data || a.sent != b.sent) __builtin_trap();
    if (whole.ComPortState() != cut.ComPortState() || whole.LineStatus() != cut.LineStatus())
        __builtin_trap();
    for (int k = 0; k < Session::kReplyKinds; ++k) {
        auto kind = static_cast<Session::Reply>(k);
        if (whole.Answered(kind, tickets[k]) != cut.Answered(kind, tickets[k]) ||
            whole.Answer(kind) != cut.Answer(kind))
            __builtin_trap();
    }
    return 0;
}

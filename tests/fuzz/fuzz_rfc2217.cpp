// ipserial's Telnet COM-PORT-OPTION session on arbitrary server-to-client bytes.
#include "Session.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    ipserial::Session s;
    s.Begin();
    uint32_t tickets[ipserial::Session::kReplyKinds] = {};
    for (int k = 0; k < ipserial::Session::kReplyKinds; ++k)
        tickets[k] = s.Request(static_cast<ipserial::Session::Reply>(k));
    size_t fed = 0, read = 0;
    uint8_t buf[512];
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: { // server bytes, as much as the session takes
            auto chunk = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 300));
            size_t n = std::min(chunk.size(), s.RxFree());
            s.Feed(chunk.data(), n);
            fed += n;
            break;
        }
        case 1: // the user reads
            read += s.ReadData(buf, in.ConsumeIntegralInRange<size_t>(0, sizeof buf));
            break;
        case 2: { // the socket takes some of what we owe the server
            size_t pending = 0;
            if (s.HasPending()) {
                s.Pending(&pending);
                s.Consumed(in.ConsumeIntegralInRange<size_t>(0, pending));
            }
            break;
        }
        case 3: { // the user writes data and a command
            auto bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));
            s.QueueData(bytes.data(), bytes.size());
            uint8_t payload[4] = {0, 0, 0x1C, 0x20};
            s.QueueCommand(1, payload, sizeof payload);
            break;
        }
        }
    }
    for (int k = 0; k < ipserial::Session::kReplyKinds; ++k) {
        auto kind = static_cast<ipserial::Session::Reply>(k);
        (void)s.Answered(kind, tickets[k]);
        (void)s.Answer(kind);
    }
    (void)s.LineStatus();
    (void)s.ComPortState();
    while (size_t n = s.ReadData(buf, sizeof buf))
        read += n;
    // Every data byte out came in; escapes make fewer, never more.
    if (read > fed) __builtin_trap();
    return 0;
}

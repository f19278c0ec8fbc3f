// A whole programming run (handshake, records, read-backs) against the in-process boot loader
// simulator on the virtual clock, with the loader's answers chosen by the fuzzer: acknowledgement
// and NACK bytes, the bytes after a NACK, read-back lengths, words, check words and cut blocks,
// silences. The stream is built from a fuzzer-chosen layout, or taken raw from the input.
#include "SimChannel.h"
#include "StreamBuilder.h"
#include "TFPLib.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace zem::sim;

namespace {

void Ignore(uint8_t, int32_t) {}

// Runs happen in a directory of their own (dumps and the stream file land there); the fuzzer's
// own relative paths need the directory it was started in back after each run.
// Never destroyed, so that the clean-up at exit can still read it.
const std::string& RunDir() {
    static const std::string* dir = [] {
        char d[] = "/tmp/zem-fuzz-run-XXXXXX";
        if (!mkdtemp(d)) std::abort();
        auto* s = new std::string(d);
        std::atexit([] { std::filesystem::remove_all(RunDir()); });
        return s;
    }();
    return *dir;
}

class InWorkDir {
public:
    InWorkDir() {
        if (!getcwd(previous_, sizeof previous_) || chdir(RunDir().c_str()) != 0) std::abort();
    }
    ~InWorkDir() {
        if (chdir(previous_) != 0) std::abort();
    }

private:
    char previous_[4096];
};

// A byte from 0xA0 to 0xAA is an acknowledgement on the wire whatever the loader meant by it, so
// a refusal and the bytes after it never take one of those values: the loader would otherwise
// say "yes" while believing it said "no", and the check below would blame the programmer.
uint8_t NotAnAck(uint8_t b) {
    return b >= 0xA0 && b <= 0xAA ? static_cast<uint8_t>(b ^ 0x40) : b;
}

Nack MakeNack(FuzzedDataProvider& in) {
    Nack n;
    n.byte = NotAnAck(in.ConsumeIntegral<uint8_t>());
    n.diag = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4));
    for (uint8_t& b : n.diag)
        b = NotAnAck(b);
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InWorkDir here;
    FuzzedDataProvider in(data, size);
    const bool raw = in.ConsumeBool();

    std::vector<uint8_t> image;
    uint32_t records = 0;
    if (raw) {
        image = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 600));
    } else {
        StreamLayout layout;
        layout.version = in.ConsumeBool() ? 2 : 1;
        layout.bootType = in.ConsumeBool() ? 0 : 3;
        records = in.ConsumeIntegralInRange<uint32_t>(1, 5);
        for (uint32_t i = 0; i < records; ++i)
            layout.payloadSizes.push_back(in.ConsumeIntegralInRange<uint32_t>(1, 300));
        layout.speedRecord = in.ConsumeIntegralInRange<uint32_t>(0, records);
        if (layout.speedRecord == 0) layout.speedOffset = in.ConsumeIntegral<uint32_t>();
        layout.trailingBytes = in.ConsumeIntegralInRange<uint32_t>(0, 8) == 0 ? 1 : 0;
        layout.seed = in.ConsumeIntegral<uint32_t>();
        image = BuildStream(layout);
        if (image.empty()) return 0;
    }

    SimOptions opt;
    opt.ack = in.ConsumeIntegral<uint8_t>();
    if (in.ConsumeBool()) opt.linkAck = in.ConsumeIntegral<uint8_t>();
    opt.skipSync = in.ConsumeIntegralInRange<uint32_t>(0, 3);
    opt.nackSync = in.ConsumeIntegralInRange<uint32_t>(0, 2);
    opt.syncNack = MakeNack(in);
    const uint32_t maxRecord = records ? records : 4;
    for (int i = in.ConsumeIntegralInRange<int>(0, 2); i > 0; --i)
        opt.nacks[in.ConsumeIntegralInRange<uint32_t>(1, maxRecord)] = MakeNack(in);
    for (int i = in.ConsumeIntegralInRange<int>(0, 2); i > 0; --i) {
        ReadBack rb;
        // Lengths stay below a megaword: larger ones only measure the allocator.
        rb.words = in.ConsumeIntegralInRange<uint32_t>(0, 1u << 20);
        for (int w = in.ConsumeIntegralInRange<int>(0, 4); w > 0; --w)
            rb.data.push_back(in.ConsumeIntegral<uint16_t>());
        rb.badCheck = in.ConsumeBool();
        rb.ack = in.ConsumeBool();
        rb.lengthGapMs = in.ConsumeIntegralInRange<uint32_t>(0, 12000);
        rb.sendBytes = in.ConsumeBool() ? -1 : in.ConsumeIntegralInRange<int64_t>(0, 64);
        if (rb.words > 4096 && rb.sendBytes < 0) rb.sendBytes = 16; // keep a run short
        opt.readBacks[in.ConsumeIntegralInRange<uint32_t>(1, maxRecord)] = rb;
    }
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0)
        opt.silentFrom = in.ConsumeIntegralInRange<uint32_t>(1, maxRecord);
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
        opt.stallRecord = in.ConsumeIntegralInRange<uint32_t>(1, maxRecord);
        opt.stallAfter = in.ConsumeIntegralInRange<uint32_t>(0, 300);
    }
    opt.flashLatencyMs = in.ConsumeIntegralInRange<uint32_t>(0, 100);
    static const char* const speeds[] = {"115200", "921600", "57600", "9600", "1000", "", "abc"};
    const char* speed = speeds[in.ConsumeIntegralInRange<size_t>(0, 6)];
    if (raw) {
        auto rest = in.ConsumeRemainingBytes<uint8_t>();
        image.insert(image.end(), rest.begin(), rest.end());
    }

    {
        std::FILE* f = std::fopen("stream.bin", "wb");
        if (!f) std::abort();
        if (!image.empty()) std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
    }
    VirtualClock clock(in.ConsumeIntegral<uint32_t>());
    bool passed = false, failed = true;
    {
        TSimChannel channel(image, opt, &clock);
        clock.Attach(&channel);
        {
            TFPLib fpl(0, "COM1", &channel, speed, Ignore, &clock);
            failed = fpl.Program("stream.bin");
        }
        passed = channel.WithSim([](const BootSim& s) { return s.Passed(); });
        // For looking into a failing input: ZEM_FUZZ_VERBOSE=1 fuzz_program_run INPUT
        if (std::getenv("ZEM_FUZZ_VERBOSE")) {
            std::fprintf(stderr,
                         "ack %02X link %d skip %u nackSync %u (%02X +%zu) nacks %zu readbacks %zu "
                         "silentFrom %u stall %u/%u latency %u\n",
                         opt.ack, opt.linkAck, opt.skipSync, opt.nackSync, opt.syncNack.byte,
                         opt.syncNack.diag.size(), opt.nacks.size(), opt.readBacks.size(),
                         opt.silentFrom, opt.stallRecord, opt.stallAfter, opt.flashLatencyMs);
            for (const auto& [r, n] : opt.nacks)
                std::fprintf(stderr, "nack record %u: %02X +%zu\n", r, n.byte, n.diag.size());
            for (const auto& [r, b] : opt.readBacks)
                std::fprintf(
                    stderr, "readback record %u: %u words bad %d ack %d gap %u send %lld\n", r,
                    b.words, b.badCheck, b.ack, b.lengthGapMs, static_cast<long long>(b.sendBytes));
        }
        if (std::getenv("ZEM_FUZZ_VERBOSE"))
            std::fprintf(stderr, "raw %d, %zu bytes, speed '%s', failed %d, passed %d\n%s\n", raw,
                         image.size(), speed, failed, passed,
                         channel.WithSim([](const BootSim& s) { return s.SummaryJson(); }).c_str());
        clock.Attach(nullptr);
    }
    // A run reported as a success must have delivered every record whole.
    if (!failed && !passed) __builtin_trap();
    return 0;
}

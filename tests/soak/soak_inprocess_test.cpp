// Many runs in one process: the channel and the protocol object built, run briefly and destroyed
// 200 times, with every kind of ending. Descriptors, threads and resident memory must stay flat
// and every result must be the one the module's behaviour calls for.
#include "ProcStats.h"
#include "SimChannel.h"
#include "StreamBuilder.h"
#include "TDisk.h"
#include "TFPLib.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

using namespace zem::sim;

namespace {

void Ignore(uint8_t, int32_t) {}

enum class Kind { Success, Nack, ReadBack, SilenceThenAnswer, BadReadBack, DiskNoModule };
constexpr Kind kKinds[] = {Kind::Success,           Kind::Nack,        Kind::ReadBack,
                           Kind::SilenceThenAnswer, Kind::BadReadBack, Kind::DiskNoModule};

// One cycle: the channel and the protocol object live only inside it. True when the result is
// the one expected of the kind.
bool Cycle(Kind kind, const std::vector<uint8_t>& image, std::string& why) {
    VirtualClock clock(0);
    SimOptions opt;
    bool expectFailure = false;
    switch (kind) {
    case Kind::Success:
        break;
    case Kind::Nack:
        opt.nacks[2] = Nack{0x41, {0x01}};
        expectFailure = true;
        break;
    case Kind::ReadBack:
        opt.readBacks[1].words = 64;
        break;
    case Kind::SilenceThenAnswer:
        opt.skipSync = 5;
        opt.flashLatencyMs = 3000;
        break;
    case Kind::BadReadBack:
        opt.readBacks[2].words = 8;
        opt.readBacks[2].badCheck = true;
        expectFailure = true;
        break;
    case Kind::DiskNoModule: {
        // The real disk channel with its own thread; nothing answers, so the handshake gives up
        // (on the virtual clock, at once).
        TDisk disk(0, "DEBUG_DISK", 0);
        bool failed = true;
        {
            TFPLib fpl(0, "DISK", &disk, "921600", Ignore, &clock);
            failed = fpl.Program("stream.bin");
        }
        if (!failed) why = "a disk with no module programmed";
        return failed;
    }
    }
    TSimChannel channel(image, opt, &clock);
    clock.Attach(&channel);
    bool failed = true;
    {
        TFPLib fpl(0, "COM1", &channel, "921600", Ignore, &clock);
        failed = fpl.Program("stream.bin");
        if (kind == Kind::ReadBack && fpl.SavedDumps().size() != 1) why = "no dump saved";
    }
    bool passed = channel.WithSim([](const BootSim& s) { return s.Passed(); });
    clock.Attach(nullptr);
    if (failed != expectFailure) why = failed ? "failed" : "succeeded";
    if (!expectFailure && !passed) why = "module not programmed whole";
    return why.empty();
}

} // namespace

TEST(SoakInProcess, TwoHundredCyclesLeaveNothingBehind) {
    ScopedTestDir dir;
    StreamLayout layout;
    layout.payloadSizes = {200, 1000, 300, 64};
    layout.speedRecord = 2;
    std::vector<uint8_t> image = BuildStream(layout);
    WriteFileBytes("stream.bin", std::string(image.begin(), image.end()));

    // Warm up: the first cycles fill caches and the allocator's pools.
    std::string why;
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(Cycle(kKinds[i % 6], image, why)) << why;
    const ProcStats before = ProcStats::Now();
    int wrong = 0;
    for (int i = 0; i < 200; ++i) {
        why.clear();
        if (!Cycle(kKinds[i % 6], image, why)) {
            ++wrong;
            ADD_FAILURE() << "cycle " << i << ": " << why;
        }
    }
    const ProcStats after = ProcStats::Now();
    std::printf("soak: 200 cycles, fds %d -> %d, threads %d -> %d, rss %lld -> %lld kB\n",
                before.fds, after.fds, before.threads, after.threads,
                static_cast<long long>(before.rssKb), static_cast<long long>(after.rssKb));
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    // Flat within allocator noise: a leak of one stream buffer per cycle would be about 300 kB.
    EXPECT_LT(after.rssKb - before.rssKb, 2048);
}

// The engine's parts around the wire: trace, countdown, codes, names, dump files, guards.
#include "Harness.h"
#include "Paths.h"
#include "StreamFile.h"
#include "TDisk.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace fpltest;
using zem::sim::BootSim;
using zem::sim::SimOptions;
using zem::sim::StreamLayout;

namespace {

std::vector<uint8_t> Build(const StreamLayout& layout) {
    std::string error;
    std::vector<uint8_t> image = zem::sim::BuildStream(layout, &error);
    EXPECT_FALSE(image.empty()) << error;
    return image;
}

TEST(Trace, SuccessfulRunAtLevel20InOrder) {
    std::vector<std::string> expected;
    {
        Harness h; // its directory holds the trace until the end of the block
        SimOptions sim;
        sim.skipSync = 1;
        sim.nackSync = 1;
        h.Open(Build(DefaultLayout()), sim);
        ASSERT_FALSE(h.Program());
        h.fpl.reset();
        expected = {"FPL_Init inited",        "TFPL::Program start", "WaitForACK timeout",
                    "WaitForACK NACK (0x41)", "DbgAnsw: 0x01",       "DbgAnsw: 0x02",
                    "WaitForACK OK (0xA5)"};
        for (size_t r = 1; r <= 5; ++r) {
            expected.push_back("WaitForACK OK (0xA5)");
            expected.push_back("FPL_SendStream OK " + h.RangeOf(r));
        }
        expected.insert(expected.end(),
                        {"FPL_SendStream OK", "TFPL::Program OK", "FPL_DeInit deinited"});
        std::vector<TraceLine> trace = ReadTrace();
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(trace[0].tag, "Debug");
        EXPECT_EQ(trace[0].body.rfind("DeviceConfig:: ", 0), 0u);
        std::vector<std::string> bodies;
        for (size_t i = 1; i < trace.size(); ++i)
            bodies.push_back(trace[i].body);
        EXPECT_EQ(bodies, expected);
        EXPECT_EQ(trace[1].tag, "Log");
        EXPECT_EQ(trace[3].tag, "Debug");
    }
}

TEST(Trace, CallbacksOfARunInOrder) {
    Harness h;
    StreamLayout layout = DefaultLayout();
    layout.payloadSizes = {300, 700};
    layout.speedRecord = 2;
    h.Open(Build(layout), {});
    ASSERT_FALSE(h.Program());
    zem::StreamWalk w = zem::WalkStream(h.image.data(), h.image.size());
    int p1 = static_cast<int>(w.records[0].payloadStart * 100 / h.image.size());
    int p2 = static_cast<int>(w.records[1].payloadStart * 100 / h.image.size());
    EXPECT_EQ(h.calls,
              (std::vector<Call>{
                  {1, 0}, {8, 100}, {2, 100}, {3, p1}, {8, 100}, {3, p2}, {8, 100}, {4, 100}}));
}

TEST(Trace, LevelZeroWritesNothing) {
    Harness h;
    h.Open(Build(DefaultLayout()), {}, "115200", "COM1", 0);
    EXPECT_FALSE(h.Program());
    h.fpl.reset();
    EXPECT_FALSE(zem::FileExists(TReport::kFileName));
}

class Countdown : public ::testing::TestWithParam<uint32_t> {};

// The wait reports 100, then the percent left about once a second, then 0; the tick counter
// wrapping inside the wait changes nothing.
TEST_P(Countdown, FortySecondWait) {
    Harness h;
    h.clock.SleepMs(GetParam()); // start time
    SimOptions sim;
    sim.silentHandshake = true;
    h.Open(Build(DefaultLayout()), sim);
    h.calls.clear();
    uint8_t answer = 0;
    const uint32_t start = h.clock.NowMs();
    EXPECT_TRUE(h.fpl->WaitForACK(40000, answer));
    const uint32_t took = h.clock.NowMs() - start;
    EXPECT_GT(took, 40000u);
    EXPECT_LT(took, 40010u);
    std::vector<int> v = h.Values(8);
    ASSERT_GE(v.size(), 40u);
    EXPECT_LE(v.size(), 42u);
    EXPECT_EQ(v[0], 100);
    EXPECT_EQ(v[1], 97);
    EXPECT_EQ(v.back(), 0);
    for (size_t i = 1; i < v.size(); ++i)
        EXPECT_LT(v[i], v[i - 1]);
    EXPECT_EQ(TraceBodies("Debug").back(), "WaitForACK timeout");
}

INSTANTIATE_TEST_SUITE_P(Starts, Countdown, ::testing::Values(0u, 0xFFFFF000u));

TEST(SpeedCode, Table) {
    const std::pair<const char*, int> table[] = {
        {"115200", 1}, {"230400", 2}, {"460800", 3}, {"921600", 4}, {"57600", 5}, {"38400", 6},
        {"19200", 7},  {"9600", 8},   {"1152", 9},   {"", 9},       {" 9600", 9}, {"9600 ", 9}};
    for (const auto& [text, code] : table)
        EXPECT_EQ(TFPLib::SpeedCode(text), code) << text;
    EXPECT_EQ(TFPLib::SpeedCode(nullptr), 9);
}

// The link starts at the requested speed or at 115200, whichever is lower.
TEST(Construction, StartSpeed) {
    const std::string longText = "9600" + std::string(36, ' ');
    const std::pair<std::string, std::string> table[] = {
        {"921600", "115200"},  {"230400", "115200"},
        {"115200", "115200"},  {"57600", "57600"},
        {" 230400", "115200"}, {"+9600", "+9600"},
        {"abc", "abc"},        {longText, longText.substr(0, 31)}};
    for (const auto& [speed, configured] : table) {
        Harness h;
        h.Open(Build(DefaultLayout()), {}, speed);
        EXPECT_EQ(h.channel->SpeedTexts().back(), configured) << "[" << speed << "]";
        EXPECT_EQ(h.channel->StoredSpeed(), configured);
    }
    Harness h;
    h.Open(Build(DefaultLayout()), {}, "921600");
    EXPECT_EQ(h.channel->StoredFormat(), std::string("N81"));
    EXPECT_EQ(h.channel->StoredFlow(), std::string("N"));
}

TEST(DumpFileName, EveryForbiddenCharacterBecomesAnUnderscore) {
    const std::pair<std::string, std::string> table[] = {
        {"COM1", "COM1_Read.bin"},
        {"10.0.0.5:4001", "10.0.0.5_4001_Read.bin"},
        {"/dev/ttyUSB0", "_dev_ttyUSB0_Read.bin"},
        {"a\\b*c?d\"e<f>g|h", "a_b_c_d_e_f_g_h_Read.bin"},
        {std::string(70, 'x'), std::string(64, 'x') + "_Read.bin"},
        {"", "_Read.bin"},
    };
    for (const auto& [port, name] : table)
        EXPECT_EQ(TFPLib::DumpFileName(port), name) << port;
}

TEST(SaveBuffer, ReplacesAnOldDumpAndLeavesNoTemporaryFile) {
    Harness h;
    h.Open(Build(DefaultLayout()), {});
    WriteFileBytes("d.bin", "an older and longer dump");
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(h.fpl->SaveBuffer(data, 3, "d.bin"), 3);
    EXPECT_EQ(ReadFileBytes("d.bin"), "\1\2\3");
    EXPECT_FALSE(zem::FileExists("d.bin.tmp"));
    // An empty dump is written all the same; the count cannot tell it from a failure.
    EXPECT_EQ(h.fpl->SaveBuffer(data, 0, "e.bin"), 0);
    EXPECT_TRUE(zem::FileExists("e.bin"));
    EXPECT_TRUE(h.Fails().empty());
}

TEST(SaveBuffer, FileThatCannotBeCreated) {
    Harness h;
    h.Open(Build(DefaultLayout()), {});
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(h.fpl->SaveBuffer(data, 3, "no-such-dir/d.bin"), 0);
    EXPECT_EQ(h.Fails(), (std::vector<std::string>{"Can not open no-such-dir/d.bin"}));
}

TEST(Program, FileThatCannotBeOpened) {
    Harness h;
    h.Open(Build(DefaultLayout()), {});
    EXPECT_TRUE(h.fpl->Program("missing.bin"));
    EXPECT_EQ(h.Fails(), (std::vector<std::string>{"TFPL::Program can not open file"}));
    EXPECT_TRUE(h.calls.empty());
    EXPECT_EQ(TraceBodies("Log"),
              (std::vector<std::string>{"FPL_Init inited", "TFPL::Program start"}));
}

TEST(Program, WithoutAChannelEverythingRefuses) {
    ScopedTestDir dir;
    std::vector<uint8_t> image = Build(DefaultLayout());
    {
        TFPLib f(20, "COM1", nullptr, "115200", nullptr);
        EXPECT_TRUE(f.Program("stream.bin"));
        EXPECT_TRUE(f.FPL_Boot(0));
        EXPECT_TRUE(f.FPL_SendStream(image.data(), static_cast<int32_t>(image.size())));
        EXPECT_TRUE(f.FPL_Abort());
    }
    EXPECT_EQ(TraceBodies("Fail"),
              (std::vector<std::string>{"TFPL::Program not inited", "FPL_Boot not inited",
                                        "FPL_SendStream not inited", "FPL_SendStream not inited"}));
}

// Buffers shorter than a header: nothing is read outside them (the sanitizer builds watch) and
// nothing is sent.
TEST(SendStream, BuffersShorterThanTheirHeader) {
    std::vector<uint8_t> v2 = Build(DefaultLayout());
    StreamLayout s1 = DefaultLayout();
    s1.version = 1;
    std::vector<uint8_t> v1 = Build(s1);
    struct Row {
        const std::vector<uint8_t>* image;
        size_t size;
    } rows[] = {{&v2, 0},  {&v2, 1},  {&v2, 69}, {&v2, 70},
                {&v2, 73}, {&v2, 77}, {&v2, 78}, {&v1, 76}};
    for (const Row& r : rows) {
        Harness h;
        h.Open(*r.image, {});
        std::vector<uint8_t> buffer(r.image->begin(), r.image->begin() + r.size);
        EXPECT_TRUE(
            h.fpl->FPL_SendStream(r.size ? buffer.data() : nullptr, static_cast<int32_t>(r.size)));
        EXPECT_EQ(h.Fails(), (std::vector<std::string>{
                                 "FPL_SendStream not completed (0x00000000 - 0xFFFFFFFF)"}))
            << r.size;
        EXPECT_EQ(h.calls.back(), (Call{7, 100}));
        EXPECT_EQ(h.Sim([](const BootSim& s) { return s.BytesReceived(); }), 0u);
    }
}

// A file of 84, 85 or 86 bytes around one record of count 4: only the exact one succeeds.
TEST(SendStream, OneRecordOfCount4) {
    StreamLayout layout = DefaultLayout();
    layout.payloadSizes = {5};
    layout.speedRecord = 1;
    layout.speedInRecord = 0;
    std::vector<uint8_t> full = Build(layout);
    ASSERT_EQ(full.size(), 85u);
    for (size_t size : {84u, 85u, 86u}) {
        Harness h;
        std::vector<uint8_t> image = full;
        image.resize(size, 0);
        h.Open(image, {});
        EXPECT_EQ(h.Program(), size != 85) << size;
        if (size == 85)
            EXPECT_EQ(TraceBodies("Log").at(2), "FPL_SendStream OK (0x00000050 - 0x00000054)");
        else
            EXPECT_EQ(h.Fails().at(0).rfind("FPL_SendStream not completed (", 0), 0u) << size;
    }
}

// The priority is raised for the handshake and lowered after the first acknowledged record;
// boot failures lower it, the abort exit and a failure at the first record leave it raised.
TEST(Priority, RaisedUntilTheFirstRecordIsAcknowledged) {
    Harness h;
    h.Open(Build(DefaultLayout()), {});
    std::vector<bool> atProgress;
    h.hook = [&](uint8_t code, int32_t) {
        if (code == 3) atProgress.push_back(TFPLibTestPeer::PriorityHigh(*h.fpl));
    };
    ASSERT_FALSE(h.Program());
    EXPECT_EQ(atProgress, (std::vector<bool>{true, false, false, false, false}));
    EXPECT_FALSE(TFPLibTestPeer::PriorityHigh(*h.fpl));
}

TEST(Priority, FailureAtTheFirstRecordLeavesItRaised) {
    Harness h;
    SimOptions sim;
    sim.nacks[1] = {};
    h.Open(Build(DefaultLayout()), sim);
    EXPECT_TRUE(h.Program());
    EXPECT_TRUE(TFPLibTestPeer::PriorityHigh(*h.fpl));
}

// Progress stays a true percent beyond the size at which offset x 100 overflows 32 bits.
TEST(SendStream, ProgressOfAStreamAbove43MB) {
    StreamLayout layout = DefaultLayout();
    layout.payloadSizes.assign(700, 65536);
    std::vector<uint8_t> image = Build(layout);
    ASSERT_GT(image.size(), 0xFFFFFFFFu / 100);
    Harness h;
    h.Open(image, {}, "115200", "COM1", 0);
    ASSERT_FALSE(h.Program());
    std::vector<int> progress = h.Values(3);
    ASSERT_EQ(progress.size(), 700u);
    for (size_t i = 1; i < progress.size(); ++i) {
        EXPECT_GE(progress[i], progress[i - 1]);
        EXPECT_LE(progress[i], 100);
    }
    EXPECT_EQ(progress.back(), 99);
    EXPECT_TRUE(h.Sim([](const BootSim& s) { return s.Passed(); }));
}

} // namespace

namespace {

// Real time, but an abort comes from another thread at the worst moment: after the engine looked
// at its flag, before the channel's wait begins.
class AbortBeforeTheWaitClock final : public zem::Clock {
public:
    uint32_t NowMs() override { return zem::SystemClock().NowMs(); }
    void SleepMs(uint32_t ms) override { zem::SystemClock().SleepMs(ms); }
    void WaitRx(TChannel& ch, uint32_t ms, uint32_t, uint32_t token) override {
        if (fpl && !aborted) {
            aborted = true;
            std::thread([this] { fpl->FPL_Abort(); }).join();
        }
        budgetMs = ms;
        auto t0 = std::chrono::steady_clock::now();
        ch.WaitRx(ms, token);
        waitedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                       .count();
    }
    TFPLib* fpl = nullptr;
    bool aborted = false;
    uint32_t budgetMs = 0;
    double waitedMs = -1;
};

} // namespace

TEST(Abort, OneBetweenTheCheckAndTheWaitEndsTheWaitAtOnce) {
    ScopedTestDir dir;
    TDisk disk(0, "DEBUG_DISK", 0);
    ASSERT_TRUE(disk.IsInited());
    AbortBeforeTheWaitClock clock;
    TFPLib fpl(0, "DISK", &disk, "115200", nullptr, &clock);
    clock.fpl = &fpl;
    uint8_t answer = 0;
    EXPECT_TRUE(fpl.WaitForACK(zem::fpl::kRecordAckWaitMs, answer));
    EXPECT_TRUE(clock.aborted);
    EXPECT_GT(clock.budgetMs, 900u) << "the wait could have lasted until the next countdown report";
    EXPECT_LT(clock.waitedMs, 100.0);
}

// A window's messages are served from inside the waits, at least every 50 ms of the wait, without
// a status callback more; a close handled there (an abort) ends a 40 s wait within 100 ms.
TEST(WaitPump, RunsDuringLongWaitsWithoutExtraCallbacks) {
    std::vector<Call> withoutPump;
    SimOptions silent;
    silent.silentHandshake = true;
    {
        Harness h;
        h.Open(Build(DefaultLayout()), silent);
        uint8_t answer = 0;
        EXPECT_TRUE(h.fpl->WaitForACK(zem::fpl::kRecordAckWaitMs, answer));
        withoutPump = h.calls;
    }
    Harness h;
    h.Open(Build(DefaultLayout()), silent);
    std::vector<uint32_t> at;
    {
        zem::ScopedWaitPump pump([&] { at.push_back(h.clock.NowMs()); });
        const uint32_t start = h.clock.NowMs();
        uint8_t answer = 0;
        EXPECT_TRUE(h.fpl->WaitForACK(zem::fpl::kRecordAckWaitMs, answer));
        EXPECT_EQ(h.calls, withoutPump) << "the same callbacks, codes and values";
        ASSERT_GT(at.size(), 700u);
        uint32_t last = start;
        for (uint32_t t : at) {
            EXPECT_LE(t - last, 50u);
            last = t;
        }
    }
    EXPECT_EQ(zem::CurrentWaitPump(), nullptr);

    uint32_t closedAt = 0;
    zem::ScopedWaitPump pump([&] {
        if (!closedAt && h.clock.NowMs() >= 12345) {
            closedAt = h.clock.NowMs();
            h.fpl->FPL_Abort();
        }
    });
    uint8_t answer = 0;
    const uint32_t start = h.clock.NowMs();
    EXPECT_TRUE(h.fpl->WaitForACK(zem::fpl::kRecordAckWaitMs, answer));
    ASSERT_NE(closedAt, 0u);
    EXPECT_LT(h.clock.NowMs() - closedAt, 100u);
    EXPECT_LT(h.clock.NowMs() - start, 20000u);
}

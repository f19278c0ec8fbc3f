#include "Paths.h"
#include "TDisk.h"
#include "TSerial.h"
#include "TestDir.h"
#include "Tick.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

TEST(Disk, RoundTripBytesInFileOut) {
    ScopedTestDir dir;
    WriteFileBytes("DEBUG_DISK.bin", "stale contents");
    std::string sent;
    {
        TDisk d(0, "DEBUG_DISK", 0);
        ASSERT_TRUE(d.IsInited());
        EXPECT_EQ(d.kind, 0);
        EXPECT_EQ(ReadFileBytes("DEBUG_DISK.bin"), "") << "truncated at construction";
        EXPECT_FALSE(d.Configure("921600", "E72", "N"));
        EXPECT_STREQ(d.StoredSpeed(), "921600");
        uint32_t lines = 0xDEADBEEF;
        EXPECT_EQ(d.GetLines(&lines), 0);
        EXPECT_EQ(lines, 0xDEADBEEFu);
        // More than a ring's worth, so the thread must drain while we queue.
        for (int i = 0; i < 40000; ++i)
            sent += static_cast<char>((i * 7 + i / 256) & 0xFF);
        size_t done = 0;
        uint32_t start = zem::TickCountMs();
        while (done < sent.size() && zem::TickCountMs() - start < 20000) {
            int n = d.Write(sent.data() + done, static_cast<int>(sent.size() - done));
            ASSERT_GE(n, 0);
            done += static_cast<size_t>(n);
            EXPECT_EQ(d.RxCount(), 0);
        }
        ASSERT_EQ(done, sent.size());
        while (d.TxFree() != 16383 && zem::TickCountMs() - start < 20000)
            zem::SleepMs(1);
    }
    EXPECT_TRUE(ReadFileBytes("DEBUG_DISK.bin") == sent);
}

TEST(Disk, FileThatCannotBeCreatedLeavesChannelClosed) {
    ScopedTestDir dir;
    TDisk d(0, "no-such-dir/DISK", 0);
    EXPECT_FALSE(d.IsInited());
    EXPECT_EQ(d.Write("a", 1), -1);
}

// The file holds exactly what was written, even when the channel goes right after its Write.
TEST(Disk, DestroyedRightAfterAWriteStillWritesEverything) {
    ScopedTestDir dir;
    for (int size : {1, 700, 16383}) {
        std::string sent;
        for (int i = 0; i < size; ++i)
            sent += static_cast<char>((i * 13 + size) & 0xFF);
        for (int round = 0; round < 20; ++round) {
            {
                TDisk d(0, "DEBUG_DISK", 0);
                ASSERT_TRUE(d.IsInited());
                ASSERT_EQ(d.Write(sent.data(), size), size);
            }
            ASSERT_TRUE(ReadFileBytes("DEBUG_DISK.bin") == sent)
                << size << " bytes, round " << round;
        }
    }
}

// A service thread without its wake-up could only spin: such a channel does not open, starts no
// thread and says why.
TEST(Disk, ChannelsWithoutTheirWakeUpDoNotOpen) {
    ScopedTestDir dir;
    struct Kind {
        const char* name;
        std::function<std::unique_ptr<TChannel>()> make;
    };
    const Kind kinds[] = {
        {"disk", [] { return std::make_unique<TDisk>(20, "DEBUG_DISK", 0); }},
        {"serial", [] { return std::make_unique<TSerial>(20, "COM", 0, "COM1", false); }},
        {"network",
         [] { return std::make_unique<TSerial>(20, "MOXA", 0, "no-such-lib", "127.0.0.1", 1); }},
    };
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        std::remove("LocalLog.txt");
        zem::WakeEvent::FailNextForTests(1);
        std::unique_ptr<TChannel> ch = k.make();
        zem::WakeEvent::FailNextForTests(0);
        EXPECT_FALSE(ch->IsInited());
        EXPECT_EQ(ch->Write("x", 1), -1);
        const std::string log = ReadFileBytes("LocalLog.txt");
        EXPECT_NE(log.find("Log  TSerial::TSerial - CreateEvent Error\r\n"), std::string::npos)
            << log;
        EXPECT_EQ(log.find("Opened!"), std::string::npos);
    }
    EXPECT_FALSE(zem::FileExists("DEBUG_DISK.bin")) << "stopped before its file";
}

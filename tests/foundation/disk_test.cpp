#include "TDisk.h"
#include "TestDir.h"
#include "Tick.h"

#include <gtest/gtest.h>

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

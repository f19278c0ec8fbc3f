// The handshake in real time over the disk channel: no answer ever comes, so the file ends up
// holding every sync byte sent.
#include "TDisk.h"
#include "TFPLib.h"
#include "TestDir.h"
#include "Tick.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<int>* gLinking = nullptr;

void OnStatus(uint8_t code, int32_t value) {
    if (code == 1 && gLinking) gLinking->push_back(value);
}

TEST(DiskHandshake, ThousandSyncBytesInTheFile) {
    ScopedTestDir dir;
    std::vector<int> linking;
    gLinking = &linking;
    const uint32_t start = zem::TickCountMs();
    {
        TDisk disk(0, "DEBUG_DISK", 0);
        ASSERT_TRUE(disk.IsInited());
        TFPLib fpl(20, "DISK", &disk, "115200", OnStatus);
        EXPECT_TRUE(fpl.FPL_Boot(0));
    }
    const uint32_t elapsed = zem::TickCountMs() - start;
    gLinking = nullptr;
    EXPECT_EQ(ReadFileBytes("DEBUG_DISK.bin"), std::string(1000, 'U'));
    EXPECT_EQ(linking.size(), 1001u);
    EXPECT_GE(elapsed, 50000u) << "1000 waits of more than 50 ms";
    std::string log = ReadFileBytes("LocalLog.txt");
    EXPECT_NE(log.find("Fail  FPL_Boot timeout\r\n"), std::string::npos);
}

} // namespace

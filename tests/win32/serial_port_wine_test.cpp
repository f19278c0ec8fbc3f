// The local serial channel on a real port: the port named by ZEM_TEST_PORT, whose other end reads
// no faster than the line's rate (zem-sim --pace). zemcli_wine.sh maps the port and runs this.
#include "TSerial.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::string TestPort() {
    const char* p = std::getenv("ZEM_TEST_PORT");
    return p ? p : "";
}

} // namespace

// With the line far slower than the program, the driver soon holds a write that cannot finish
// for a minute or more. Destroying the channel must cancel it rather than wait for it.
TEST(SerialPortWine, DestroyingWithAWriteStillInTheDriverDoesNotWaitForIt) {
    const std::string port = TestPort();
    if (port.empty()) GTEST_SKIP() << "ZEM_TEST_PORT names no port";
    ScopedTestDir dir;
    auto* ch = new TSerial(0, "COM", 0, port.c_str(), false);
    ASSERT_TRUE(ch->IsInited());
    ASSERT_EQ(ch->SetSpeed("2400"), 0);

    // Fill the ring until the line stops taking bytes for a second.
    std::string chunk(4096, '\x5A');
    using Clock = std::chrono::steady_clock;
    auto lastTaken = Clock::now();
    auto giveUp = Clock::now() + std::chrono::seconds(30);
    long total = 0;
    while (Clock::now() - lastTaken < std::chrono::seconds(1)) {
        ASSERT_LT(Clock::now(), giveUp) << "the line kept taking bytes: " << total;
        int n = ch->Write(chunk.data(), static_cast<int>(chunk.size()));
        ASSERT_GE(n, 0);
        if (n > 0) lastTaken = Clock::now();
        total += n;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_LT(ch->TxFree(), 16383) << "nothing left queued; total " << total;

    auto t0 = Clock::now();
    delete ch;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    // Waiting for the write would take the line's time for what the driver holds: a minute and
    // more at 240 bytes a second. The limit only tells that apart.
    EXPECT_LT(ms, 20000) << "after " << total << " bytes queued";
}

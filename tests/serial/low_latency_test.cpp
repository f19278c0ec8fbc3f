// Low latency for the length of a run: set only where the driver takes it, undone only where we
// did it, every other driver flag kept.
#include "LowLatency.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A driver's flags word; it may refuse to show it or to change it, and another program may
// change other flags while the port is open.
struct FakeDriver : zem::SerialDriverFlags {
    uint32_t flags = 0;
    bool getRefused = false;
    bool setRefused = false;
    std::vector<uint32_t> sets;
    bool Get(uint32_t& f) override {
        if (getRefused) return false;
        f = flags;
        return true;
    }
    bool Set(uint32_t f) override {
        sets.push_back(f);
        if (setRefused) return false;
        flags = f;
        return true;
    }
};

constexpr uint32_t kLow = zem::kAsyncLowLatency;
constexpr uint32_t kOther = 0x10000040; // unrelated flags the port already had

TEST(LowLatency, RequestedForTheRunAndUndoneAfter) {
    struct Case {
        const char* what;
        uint32_t flags;
        bool getRefused, setRefused;
        bool changed;       // RequestLowLatency's answer
        uint32_t afterOpen; // flags while the port is open
        size_t setsAtOpen;  // driver writes the request made
    };
    const Case cases[] = {
        {"a USB adapter", kOther, false, false, true, kOther | kLow, 1},
        {"already low latency", kOther | kLow, false, false, false, kOther | kLow, 0},
        {"a pseudo-terminal (ENOTTY)", kOther, true, false, false, kOther, 0},
        {"a driver that will not change", kOther, false, true, false, kOther, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeDriver d;
        d.flags = c.flags;
        d.getRefused = c.getRefused;
        d.setRefused = c.setRefused;
        const bool changed = zem::RequestLowLatency(d);
        EXPECT_EQ(changed, c.changed);
        EXPECT_EQ(d.flags, c.afterOpen);
        EXPECT_EQ(d.sets.size(), c.setsAtOpen);
        // The port closes: only what we changed goes back.
        if (changed) zem::ReleaseLowLatency(d);
        EXPECT_EQ(d.flags, c.flags);
    }
}

TEST(LowLatency, ReleaseKeepsFlagsChangedMeanwhileAndCopesWithAGonePort) {
    FakeDriver d;
    d.flags = kOther;
    ASSERT_TRUE(zem::RequestLowLatency(d));
    d.flags |= 0x200; // set by someone else during the run
    zem::ReleaseLowLatency(d);
    EXPECT_EQ(d.flags, kOther | 0x200);

    // A pulled adapter answers nothing: nothing is written.
    FakeDriver gone;
    gone.flags = kLow;
    gone.getRefused = true;
    zem::ReleaseLowLatency(gone);
    EXPECT_TRUE(gone.sets.empty());
}

} // namespace

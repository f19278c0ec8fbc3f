// The operator's signals and console events reaching a run's stop and abort.
#include "Interrupt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

using zem::ConsoleEvent;
using zem::cli::DeliverConsoleEventForTests;
using zem::cli::ScopedInterrupt;
using Clock = std::chrono::steady_clock;

namespace {

struct Calls {
    std::atomic<int> stops{0};
    std::atomic<int> aborts{0};
};

bool WaitFor(const std::atomic<int>& n, int atLeast, double seconds = 10) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (n.load() < atLeast && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return n.load() >= atLeast;
}

} // namespace

// Ctrl-C and Ctrl-Break alike: the first stops cleanly, the second aborts.
TEST(Interrupt, CtrlBreakStopsThenAborts) {
    for (ConsoleEvent e : {ConsoleEvent::kInterrupt, ConsoleEvent::kBreak}) {
        Calls c;
        ScopedInterrupt scope([&] { ++c.stops; }, [&] { ++c.aborts; });
        DeliverConsoleEventForTests(e);
        EXPECT_TRUE(WaitFor(c.stops, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(c.aborts.load(), 0);
        DeliverConsoleEventForTests(e);
        EXPECT_TRUE(WaitFor(c.aborts, 1));
    }
}

// A closed console (a logoff, a shutdown): the handler asks for the clean stop and returns only
// when the run has ended, since the process ends right after it returns; a run that does not end
// in time is aborted first.
TEST(Interrupt, AClosedConsoleWaitsForTheCleanStop) {
    for (bool endsInTime : {true, false}) {
        SCOPED_TRACE(endsInTime ? "the run ends" : "the run does not end");
        Calls c;
        std::atomic<bool> returned{false};
        std::thread handler;
        {
            ScopedInterrupt scope([&] { ++c.stops; }, [&] { ++c.aborts; });
            handler = std::thread([&] {
                DeliverConsoleEventForTests(ConsoleEvent::kClose);
                returned = true;
            });
            // No ASSERT here: the handler's thread must be joined whatever happens.
            EXPECT_TRUE(WaitFor(c.stops, 1));
            if (!endsInTime) {
                EXPECT_TRUE(WaitFor(c.aborts, 1)) << "aborted when time ran short";
            }
            EXPECT_FALSE(returned.load()) << "the process would end with the run under way";
        }
        handler.join();
        EXPECT_TRUE(returned.load());
        EXPECT_EQ(c.aborts.load(), endsInTime ? 0 : 1);
    }
}

#ifdef _WIN32
// The console's own Ctrl-Break reaches the clean stop rather than ending the process.
TEST(Interrupt, TheConsolesCtrlBreakReachesTheStop) {
    if (!GetConsoleWindow() && !AllocConsole()) GTEST_SKIP() << "no console to send events on";
    Calls c;
    ScopedInterrupt scope([&] { ++c.stops; }, [&] { ++c.aborts; });
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0))
        GTEST_SKIP() << "the console sends no events here";
    if (!WaitFor(c.stops, 1, 5)) GTEST_SKIP() << "the console sent no event within 5 s";
    EXPECT_EQ(c.aborts.load(), 0);
}
#endif

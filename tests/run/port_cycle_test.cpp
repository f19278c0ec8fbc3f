// The station's rules for one port, row by row: a state, the options, what the run or the port
// reported and whether a stop was asked for, against the actions and the next state. No threads,
// no clock.
#include "OpenCause.h"
#include "PortCycle.h"
#include "Texts.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

using zem::PortAction;
using zem::PortCycleOptions;
using zem::PortCycleState;
using zem::PortReport;
using zem::RunEnd;
using A = PortAction;
using Actions = std::vector<PortAction>;

// In the order of PortAction.
constexpr const char* kActionNames[] = {
    "ShowHold",    "LookAgain",     "WaitForPresence", "ShowWaiting", "AnnounceRun",    "StartRun",
    "WaitForPort", "CompleteStart", "WriteResult",     "Count",       "WaitForRemoval", "End",
};
static_assert(std::size(kActionNames) == static_cast<size_t>(A::kEnd) + 1);

std::string Names(const Actions& actions) {
    std::string s;
    for (PortAction a : actions) {
        if (!s.empty()) s += ' ';
        s += kActionNames[static_cast<size_t>(a)];
    }
    return s;
}

constexpr PortCycleOptions kSingle{false, false, 1};
constexpr PortCycleOptions kLoop{true, false, 0};
constexpr PortCycleOptions kLoopPresence{true, true, 0};

constexpr uint32_t kNow = 100000;

PortReport Round(std::string hold = {}) {
    PortReport r;
    r.kind = PortReport::kRound;
    r.nowMs = kNow;
    r.hold = std::move(hold);
    return r;
}

PortReport Of(PortReport::Kind kind) {
    PortReport r;
    r.kind = kind;
    r.nowMs = kNow;
    return r;
}

// A run that ended: by default a programmed module that took a minute.
PortReport Ran(std::function<void(PortReport&)> how = {}) {
    PortReport r = Of(PortReport::kRunEnded);
    r.outcome = RunEnd::Programmed;
    r.exitCode = 0;
    r.answered = true;
    r.begun = true;
    r.roundMs = 60000;
    if (how) how(r);
    return r;
}

// The handshake offered its sync bytes and nothing answered: after its full time by default.
PortReport Unanswered(uint32_t roundMs = 30000) {
    return Ran([&](PortReport& r) {
        r.outcome = RunEnd::NotProgrammed;
        r.exitCode = 7;
        r.answered = false;
        r.begun = false;
        r.roundMs = roundMs;
    });
}

PortReport Failed(uint32_t roundMs) {
    return Ran([&](PortReport& r) {
        r.outcome = RunEnd::NotProgrammed;
        r.exitCode = 7;
        r.roundMs = roundMs;
    });
}

PortReport NotRun(RunEnd outcome, int exitCode, std::string cause = {}) {
    return Ran([&](PortReport& r) {
        r.outcome = outcome;
        r.exitCode = exitCode;
        r.answered = false;
        r.begun = false;
        r.roundMs = 5;
        r.cause = std::move(cause);
    });
}

PortCycleState With(std::function<void(PortCycleState&)> how) {
    PortCycleState s;
    s.waitSince = 1000;
    if (how) how(s);
    return s;
}

PortCycleState Waiting() {
    return With([](PortCycleState& s) {
        s.opened = true;
        s.waiting = true;
    });
}

// A port of a loop, waiting for its module after `n` quick failures in a row.
PortCycleState AfterQuickFailures(unsigned n) {
    return With([n](PortCycleState& s) {
        s.opened = s.waiting = true;
        s.quickFailures = n;
    });
}

// A whole run of a loop: its start line completed, its results line, its count.
Actions Counted(std::initializer_list<PortAction> then = {}) {
    Actions a{A::kCompleteStart, A::kWriteResult, A::kCount};
    a.insert(a.end(), then);
    return a;
}

struct Row {
    const char* name;
    PortCycleState state;
    PortCycleOptions options;
    PortReport report;
    bool stop;
    Actions actions;
    std::function<void(const zem::PortStep&)> check = {}; // the next state, the texts
};

TEST(PortCycle, Rules) {
    const Row rows[] = {
        // Starting a round.
        {"a run of its own is announced, then run",
         {},
         kSingle,
         Round(),
         false,
         {A::kAnnounceRun, A::kStartRun}},
        {"a loop says once that it waits",
         {},
         kLoop,
         Round(),
         false,
         {A::kShowWaiting, A::kStartRun},
         [](const auto& s) { EXPECT_TRUE(s.next.waiting); }},
        {"a port that waits offers the handshake again",
         Waiting(),
         kLoop,
         Round(),
         false,
         {A::kStartRun}},
        {"a stop ends the port", Waiting(), kLoop, Round(), true, {A::kEnd}},
        {"the count reached ends the port",
         With([](auto& s) { s.begun = 3; }),
         PortCycleOptions{true, false, 3},
         Round(),
         false,
         {A::kEnd}},
        {"a hold is shown once and looked at again",
         Waiting(),
         kLoop,
         Round("Held: line"),
         false,
         {A::kShowHold, A::kLookAgain},
         [](const auto& s) {
             EXPECT_EQ(s.text, "Held: line");
             EXPECT_TRUE(s.next.holdShown);
         }},
        {"a hold already shown is not shown again",
         With([](auto& s) { s.holdShown = s.waiting = true; }),
         kLoop,
         Round("Held: line"),
         false,
         {A::kLookAgain}},
        {"the end of a hold shows waiting again",
         With([](auto& s) { s.holdShown = s.waiting = true; }),
         kLoop,
         Round(),
         false,
         {A::kShowWaiting, A::kStartRun},
         [](const auto& s) { EXPECT_FALSE(s.next.holdShown); }},
        {"the presence check waits for a module first",
         {},
         kLoopPresence,
         Round(),
         false,
         {A::kWaitForPresence}},
        {"a module present starts the wait for its answer",
         {},
         kLoopPresence,
         Of(PortReport::kPresent),
         false,
         {A::kShowWaiting, A::kStartRun},
         [](const auto& s) { EXPECT_EQ(s.next.waitSince, kNow); }},
        {"a stop during the presence wait ends the port",
         {},
         kLoopPresence,
         Of(PortReport::kPresent),
         true,
         {A::kEnd}},

        // A handshake with no module.
        {"an unanswered handshake in a loop was waiting, not a run",
         Waiting(),
         kLoop,
         Unanswered(),
         false,
         {},
         [](const auto& s) {
             EXPECT_EQ(s.next.begun, 0u);
             EXPECT_TRUE(s.next.waiting);
         }},
        {"a handshake that gives up at once is a failed run, and the last", Waiting(), kLoop,
         Unanswered(10), false, Counted({A::kEnd}),
         [](const auto& s) { EXPECT_EQ(s.next.begun, 1u); }},
        {"a stop ends a loop's wait without a run",
         Waiting(),
         kLoop,
         Unanswered(10),
         true,
         {A::kEnd}},
        {"a stop before any module ends a run of its own without a result",
         {},
         kSingle,
         Unanswered(10),
         true,
         {A::kEnd}},
        {"an unanswered run of its own is a failed run",
         {},
         kSingle,
         Unanswered(),
         false,
         {A::kWriteResult, A::kCount},
         [](const auto& s) { EXPECT_EQ(s.next.begun, 1u); }},
        {"a port lost while waiting is waited for",
         Waiting(),
         kLoop,
         Ran([](auto& r) {
             r = Unanswered(700);
             r.lostCause = "the line hung up";
         }),
         false,
         {A::kWaitForPort},
         [](const auto& s) {
             EXPECT_EQ(s.text, "the line hung up");
             EXPECT_FALSE(s.absent);
             EXPECT_TRUE(s.next.newWaitOnReturn);
             EXPECT_EQ(s.next.begun, 0u);
         }},

        // Whole runs.
        {"a programmed module in a loop is counted with its start line", Waiting(), kLoop, Ran(),
         false, Counted(),
         [](const auto& s) {
             EXPECT_EQ(s.next.begun, 1u);
             EXPECT_FALSE(s.next.waiting);
             EXPECT_EQ(s.next.waitSince, kNow);
         }},
        {"with the presence check the module must be taken out", Waiting(), kLoopPresence, Ran(),
         false, Counted({A::kWaitForRemoval})},
        {"a run of its own is counted, then the count ends it",
         {},
         kSingle,
         Ran(),
         false,
         {A::kWriteResult, A::kCount}},
        {"a port lost in mid-run: counted, then waited for", Waiting(), kLoop, Ran([](auto& r) {
             r.outcome = RunEnd::NotProgrammed;
             r.exitCode = 7;
             r.lostCause = "the line hung up";
             r.roundMs = 50;
         }),
         false, Counted({A::kWaitForPort}),
         [](const auto& s) {
             EXPECT_EQ(s.text, "the line hung up");
             EXPECT_FALSE(s.next.newWaitOnReturn) << "its wait began when the run ended";
             EXPECT_EQ(s.next.quickFailures, 0u) << "a lost port is no quick failure";
         }},

        // Quick failures.
        {"a third quick failure in a row goes on", AfterQuickFailures(2), kLoop, Failed(300), false,
         Counted(), [](const auto& s) { EXPECT_EQ(s.next.quickFailures, 3u); }},
        {"a fourth quick failure in a row holds the port", AfterQuickFailures(3), kLoop,
         Failed(300), false, Counted({A::kEnd}), [](const auto& s) { EXPECT_TRUE(s.next.held); }},
        {"a slow failure starts the count again", AfterQuickFailures(3), kLoop, Failed(5000), false,
         Counted(), [](const auto& s) { EXPECT_EQ(s.next.quickFailures, 0u); }},
        {"an abort is no quick failure", AfterQuickFailures(3), kLoop, Ran([](auto& r) {
             r = Failed(300);
             r.aborted = true;
         }),
         false, Counted(), [](const auto& s) { EXPECT_EQ(s.next.quickFailures, 0u); }},

        // The stream file.
        {"a missing stream file in a loop is looked for again",
         Waiting(),
         kLoop,
         NotRun(RunEnd::StreamMissing, 4),
         false,
         {A::kLookAgain},
         [](const auto& s) {
             EXPECT_TRUE(s.next.streamRefused);
             EXPECT_EQ(s.next.streamRefusedSince, kNow);
             EXPECT_EQ(s.next.begun, 0u);
         }},
        {"a stream file invalid for 5 s ends the port with its result",
         With([](auto& s) {
             s.opened = s.waiting = s.streamRefused = true;
             s.streamRefusedSince = kNow - 5000;
         }),
         kLoop,
         NotRun(RunEnd::StreamInvalid, 3),
         false,
         {A::kWriteResult, A::kCount, A::kEnd}},
        {"a path too long is not looked for again",
         Waiting(),
         kLoop,
         NotRun(RunEnd::PathTooLong, 4),
         false,
         {A::kWriteResult, A::kCount, A::kEnd}},
        {"a refused stream ends a run of its own",
         {},
         kSingle,
         NotRun(RunEnd::StreamMissing, 4),
         false,
         {A::kWriteResult, A::kCount, A::kEnd}},

        // The port that does not open.
        {"a port absent at the start of a loop is waited for",
         {},
         kLoop,
         NotRun(RunEnd::PortNotOpened, 5, zem::kCauseNoSuchDevice),
         false,
         {A::kWaitForPort},
         [](const auto& s) {
             EXPECT_TRUE(s.absent);
             EXPECT_EQ(s.text, zem::kCauseNoSuchDevice);
         }},
        {"a port that opened before and not now is waited for",
         Waiting(),
         kLoop,
         NotRun(RunEnd::PortNotOpened, 5, "busy"),
         false,
         {A::kWaitForPort},
         [](const auto& s) {
             EXPECT_FALSE(s.absent);
             EXPECT_EQ(s.text, zem::txt::kPortReopenFailed);
         }},
        {"a port refused at the start of a loop ends it",
         {},
         kLoop,
         NotRun(RunEnd::PortNotOpened, 5, "busy"),
         false,
         {A::kWriteResult, A::kCount, A::kEnd}},
        {"a port not opened ends a run of its own",
         {},
         kSingle,
         NotRun(RunEnd::PortNotOpened, 5, zem::kCauseNoSuchDevice),
         false,
         {A::kWriteResult, A::kCount, A::kEnd}},
        {"a port back begins a new wait for its module",
         With([](auto& s) { s.opened = s.waiting = s.newWaitOnReturn = true; }),
         kLoop,
         Of(PortReport::kPortBack),
         false,
         {A::kShowWaiting, A::kStartRun},
         [](const auto& s) { EXPECT_EQ(s.next.waitSince, kNow); }},
        {"a port back after a run keeps the wait that began with its end",
         With([](auto& s) { s.opened = true; }),
         kLoop,
         Of(PortReport::kPortBack),
         false,
         {A::kShowWaiting, A::kStartRun},
         [](const auto& s) { EXPECT_EQ(s.next.waitSince, 1000u); }},
        {"a stop while the port was away ends it",
         With([](auto& s) { s.opened = s.newWaitOnReturn = true; }),
         kLoop,
         Of(PortReport::kPortBack),
         true,
         {A::kEnd}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const zem::PortStep step = zem::NextPortStep(row.state, row.options, row.report, row.stop);
        EXPECT_EQ(Names(step.actions), Names(row.actions));
        if (row.check) row.check(step);
    }
}

// A port that waits all shift with no module: the rules offer the handshake again and again and
// count nothing, until a stop.
TEST(PortCycle, AnIdlePortCountsNothingUntilStopped) {
    PortCycleState state = With({});
    PortReport report = Round();
    for (int round = 0; round < 100; ++round) {
        zem::PortStep step = zem::NextPortStep(state, kLoop, report, false);
        ASSERT_FALSE(step.actions.empty());
        EXPECT_EQ(step.actions.back(), A::kStartRun);
        state = zem::NextPortStep(step.next, kLoop, Unanswered(), false).next;
        report = Round();
    }
    EXPECT_EQ(state.begun, 0u);
    EXPECT_EQ(Names(zem::NextPortStep(state, kLoop, Round(), true).actions), "End");
}

} // namespace

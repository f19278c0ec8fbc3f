#include "PortCycle.h"

#include "OpenCause.h"
#include "Texts.h"

namespace zem {

namespace {

// A handshake offers its sync bytes for 25 s or more. One that ends unanswered much sooner did
// not wait for a module at all (a boot type the protocol refuses, a stream it cannot read): taken
// for waiting, it would start again at once, for ever, with nothing to show for it.
constexpr uint32_t kShortestHandshakeMs = 1000;
// A stream file being replaced reads short (or not at all) for a moment: a station looks again
// for this long before a port gives up on it.
constexpr uint32_t kStreamRetryMs = 5000;
// Modules that fail within a second, more than this many in a row: no module fails that fast
// unless the jig does (a boot loader that refuses at once, a contact that resets it), and a
// station that counted on would log hundreds of failed modules a minute.
constexpr uint32_t kQuickFailureMs = 1000;
constexpr unsigned kQuickFailuresHeld = 3;

using A = PortAction;

void End(PortStep& step) {
    step.actions.push_back(A::kEnd);
}

void WaitForPort(PortStep& step, const std::string& cause, bool absent, bool newWait) {
    step.next.newWaitOnReturn = newWait;
    step.text = cause;
    step.absent = absent;
    step.actions.push_back(A::kWaitForPort);
}

// The run itself, once the port may have its module.
void Launch(PortStep& step, const PortCycleOptions& o) {
    PortCycleState& n = step.next;
    if (o.continuous && !n.waiting) {
        step.actions.push_back(A::kShowWaiting);
        n.waiting = true;
    }
    if (!o.continuous) step.actions.push_back(A::kAnnounceRun);
    step.actions.push_back(A::kStartRun);
}

void Round(PortStep& step, const PortCycleOptions& o, const PortReport& r, bool stop) {
    PortCycleState& n = step.next;
    if (stop || (o.count != 0 && n.begun >= o.count)) return End(step);
    // A line that may not produce without its records: no module starts while it says so.
    if (!r.hold.empty()) {
        if (!n.holdShown) {
            step.text = r.hold;
            step.actions.push_back(A::kShowHold);
        }
        n.holdShown = true;
        step.actions.push_back(A::kLookAgain);
        return;
    }
    if (n.holdShown) {
        n.holdShown = false;
        n.waiting = false; // its row says waiting for the module again
    }
    if (o.continuous && o.presenceCheck && !n.waiting) {
        step.actions.push_back(A::kWaitForPresence);
        return;
    }
    Launch(step, o);
}

void RunEnded(PortStep& step, const PortCycleOptions& o, const PortReport& r, bool stop) {
    PortCycleState& n = step.next;
    const bool notOpened = r.outcome == RunEnd::PortNotOpened;
    if (!notOpened) n.opened = true;
    const bool refused = r.outcome == RunEnd::PathTooLong || r.outcome == RunEnd::StreamMissing ||
                         r.outcome == RunEnd::StreamInvalid;
    if (o.continuous && refused && r.outcome != RunEnd::PathTooLong && !stop) {
        if (!n.streamRefused) n.streamRefusedSince = r.nowMs;
        n.streamRefused = true;
        if (r.nowMs - n.streamRefusedSince < kStreamRetryMs) {
            step.actions.push_back(A::kLookAgain);
            return;
        }
    } else {
        n.streamRefused = false;
    }
    // A port not there at the start (an adapter plugged in late) is waited for as a lost one.
    if (o.continuous && notOpened && !n.opened && r.cause == kCauseNoSuchDevice)
        return WaitForPort(step, r.cause, true, true);
    const bool noModule = r.outcome == RunEnd::NotProgrammed && !r.answered && !r.begun;
    const bool gaveUpAtOnce =
        noModule && r.lostCause.empty() && !stop && r.roundMs < kShortestHandshakeMs;
    // A run of its own that a stop ended before any module answered programmed nothing and
    // failed nothing.
    if (!o.continuous && stop && noModule) return End(step);
    if (o.continuous && !refused && !gaveUpAtOnce && (noModule || (notOpened && n.opened))) {
        // No module answered: this was waiting, not a run.
        if (stop) return End(step);
        const std::string cause = notOpened ? txt::kPortReopenFailed : r.lostCause;
        if (!cause.empty()) return WaitForPort(step, cause, false, true);
        return; // the handshake ran its course: offer it again
    }
    // A whole run: it has its start line (a module that only refused the sync bytes gets it now),
    // its end line, its dumps kept and its tally.
    if (o.continuous && !refused && !notOpened) step.actions.push_back(A::kCompleteStart);
    ++n.begun;
    step.actions.push_back(A::kWriteResult);
    step.actions.push_back(A::kCount);
    n.waiting = false;
    n.waitSince = r.nowMs;
    if (refused || notOpened || gaveUpAtOnce) return End(step); // the next would fail alike
    if (!o.continuous) return;
    const bool quick =
        r.exitCode != 0 && !r.aborted && r.lostCause.empty() && r.roundMs < kQuickFailureMs;
    n.quickFailures = quick ? n.quickFailures + 1 : 0;
    if (n.quickFailures > kQuickFailuresHeld) {
        n.held = true;
        return End(step);
    }
    if (!r.lostCause.empty()) return WaitForPort(step, r.lostCause, false, false);
    if (o.presenceCheck) step.actions.push_back(A::kWaitForRemoval);
}

} // namespace

PortStep NextPortStep(const PortCycleState& state, const PortCycleOptions& options,
                      const PortReport& report, bool stop) {
    PortStep step;
    step.next = state;
    switch (report.kind) {
    case PortReport::kRound:
        Round(step, options, report, stop);
        break;
    case PortReport::kPresent:
        if (stop) {
            End(step);
            break;
        }
        step.next.waitSince = report.nowMs;
        Launch(step, options);
        break;
    case PortReport::kPortBack:
        if (step.next.newWaitOnReturn) {
            step.next.waiting = false;
            step.next.waitSince = report.nowMs;
        }
        Round(step, options, report, stop);
        break;
    case PortReport::kRunEnded:
        RunEnded(step, options, report, stop);
        break;
    }
    return step;
}

} // namespace zem

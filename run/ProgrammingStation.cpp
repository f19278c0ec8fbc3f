#include "ProgrammingStation.h"
#include "ExitCodes.h"

#include "FailureCause.h"
#include "Format.h"
#include "OpenCause.h"
#include "OpenChannel.h"
#include "PortCycle.h"
#include "Texts.h"
#include "Tick.h"
#include "Treport.h"
#include "Uuid.h"

#include <cctype>
#include <chrono>
#include <set>
#include <thread>

namespace zem {

namespace {
int Rank(int code) {
    switch (code) {
    case exitcode::kProgrammed:
        return 0;
    case exitcode::kNotProgrammed:
        return 1;
    case exitcode::kPortNotOpened:
        return 2;
    case exitcode::kStreamInvalid:
        return 3;
    case exitcode::kStreamMissing:
        return 4;
    case exitcode::kResultsLogFailed:
        return 6;
    default:
        return 5; // a code of no run: only a results log that failed hides it
    }
}

// Presence readings in a row, one a second, that count as a module put in or taken out: a
// contact that bounces does not start a module twice.
constexpr int kPresenceReadings = 3;
constexpr uint32_t kLookAgainMs = 1000;
constexpr uint32_t kWaitingTickMs = 1000;
PortState EndState(const RunResult& r) {
    if (r.exitCode == 0) return PortState::kProgrammed;
    return r.aborted ? PortState::kAborted : PortState::kFailed;
}
} // namespace

int MostSerious(int a, int b) {
    return Rank(b) > Rank(a) ? b : a;
}

const char* PortStateName(PortState state) {
    switch (state) {
    case PortState::kWaitingForModule:
        return "waiting";
    case PortState::kWaitingForPresence:
        return "waiting for presence";
    case PortState::kProgramming:
        return "programming";
    case PortState::kProgrammed:
        return "programmed";
    case PortState::kFailed:
        return "failed";
    case PortState::kAborted:
        return "aborted";
    case PortState::kWaitingForRemoval:
        return "waiting for removal";
    case PortState::kPortLost:
        return "port lost";
    case PortState::kDone:
        return "done";
    }
    return "";
}

struct Station::Slot {
    ProgrammingRun* run = nullptr; // under runsMutex_
    bool began = false;            // under runsMutex_: the run under way has a module
    Tally tally;
    RunResult last;
};

// One attempt's events. Until a module answers, a continuous station shows the port as waiting
// and holds the run's own lines back: a port that waits all shift says so once, not once per
// handshake. Once the boot loader answers, the run begins and everything goes through.
class Station::SlotEvents : public RunEvents {
public:
    SlotEvents(Station& st, size_t slot, unsigned runNumber, uint32_t waitSince)
        : st_(st), slot_(slot), runNumber_(runNumber), waitSince_(waitSince),
          holding_(st.req_.continuous) {}

    void Status(const std::string& text) override {
        std::lock_guard lock(st_.eventsMutex_);
        if (holding_)
            held_.push_back({true, text});
        else
            st_.events_.Status(slot_, text);
    }
    void Progress(int code, int32_t value) override {
        if (code == kFplLinked) Begin();
        std::lock_guard lock(st_.eventsMutex_);
        if (!holding_) {
            st_.events_.Progress(slot_, code, value);
            return;
        }
        uint32_t now = st_.NowMs();
        if (now - lastTick_ >= kWaitingTickMs) {
            lastTick_ = now;
            st_.events_.Waiting(slot_, now - waitSince_);
        }
    }
    void Message(const std::string& line) override {
        std::lock_guard lock(st_.eventsMutex_);
        if (holding_)
            held_.push_back({false, line});
        else
            st_.events_.Message(slot_, line);
    }
    void Result(const RunResult&) override {} // the station decides what a result was

    // The run has a module: its start line, its state, and what was held back.
    void Begin() {
        if (begun_) return;
        begun_ = true;
        begunAt_ = TickCountMs();
        {
            std::lock_guard lock(st_.runsMutex_);
            st_.slots_[slot_]->began = true;
        }
        RunResult start;
        start.port = st_.req_.ports[slot_];
        start.stream = st_.req_.stream;
        start.speed = st_.req_.speed;
        start.runNumber = runNumber_;
        runId_ = NewUuid();
        start.runId = runId_;
        // Written and synced before the run goes on, outside the events lock: other ports'
        // callbacks do not wait on this disk.
        st_.WriteLog(ResultsLog::Event::kStart, slot_, start);
        std::lock_guard lock(st_.eventsMutex_);
        if (!holding_) return;
        holding_ = false;
        st_.events_.RunStarting(slot_, runNumber_);
        st_.events_.StateChanged(slot_, PortState::kProgramming, txt::StatusTextFor(kFplLinked));
        for (const auto& h : held_) {
            if (h.status)
                st_.events_.Status(slot_, h.text);
            else
                st_.events_.Message(slot_, h.text);
        }
        held_.clear();
    }
    bool Begun() const { return begun_; }
    const std::string& RunId() const { return runId_; }
    // How long the run took from its module's answer: a port's wait is not the module's run.
    uint32_t SinceBegun() const { return TickCountMs() - begunAt_; }

private:
    struct Held {
        bool status;
        std::string text;
    };
    Station& st_;
    size_t slot_;
    unsigned runNumber_;
    uint32_t waitSince_;
    uint32_t lastTick_ = 0;
    bool holding_;
    bool begun_ = false;
    std::string runId_;
    uint32_t begunAt_ = 0;
    std::vector<Held> held_;
};

Station::Station(StationRequest request, RunServices services, StationEvents& events)
    : req_(std::move(request)), services_(std::move(services)), events_(events),
      dumps_(req_.ports, req_.dumpDir, req_.continuous) {
    for (size_t i = 0; i < req_.ports.size(); ++i)
        slots_.push_back(std::make_unique<Slot>());
}

Station::~Station() = default;

uint32_t Station::NowMs() const {
    return services_.clock ? services_.clock->NowMs() : TickCountMs();
}

void Station::Pause(uint32_t ms) {
    if (services_.clock) {
        services_.clock->SleepMs(ms);
        return;
    }
    std::unique_lock lock(pauseMutex_);
    pauseWake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Stopping(); });
}

void Station::Stop() {
    {
        std::lock_guard lock(pauseMutex_);
        stop_.store(true, std::memory_order_release);
    }
    stopLatch_.Raise();
    pauseWake_.notify_all();
    std::lock_guard lock(runsMutex_);
    // A port that waits has no module to finish.
    for (auto& s : slots_)
        if (s->run && !s->began) s->run->Abort();
}

void Station::Abort() {
    abort_.store(true, std::memory_order_release);
    Stop();
    std::lock_guard lock(runsMutex_);
    for (auto& s : slots_)
        if (s->run) s->run->Abort();
}

void Station::SetState(size_t slot, PortState state, const std::string& text) {
    std::lock_guard lock(eventsMutex_);
    events_.StateChanged(slot, state, text);
}

void Station::WriteLog(ResultsLog::Event event, size_t slot, const RunResult& r) {
    if (!req_.results) return;
    std::string alias = slot < req_.aliases.size() ? req_.aliases[slot] : std::string();
    std::string error;
    if (req_.results->Append(event, r, alias, error)) return;
    // The record is what a station is trusted for: no new module without it.
    bool first = !logFailed_.exchange(true, std::memory_order_acq_rel);
    if (first) {
        std::lock_guard lock(eventsMutex_);
        events_.Problem(error);
    }
    Stop();
}

bool Station::WaitForPortBack(size_t slot, const std::string& cause, const char* format) {
    const std::string& port = req_.ports[slot];
    SetState(slot, PortState::kPortLost, Format(format, port.c_str(), cause.c_str()));
    while (!Stopping()) {
        Pause(kLookAgainMs);
        if (Stopping()) break;
        ScopedOpenAbort stopped(stopLatch_);
        if (TChannel* channel = services_.openChannel(port, req_.levelCode, req_.trust, nullptr)) {
            services_.freeChannel(channel);
            return true;
        }
    }
    return false;
}

bool Station::WaitForPresence(size_t slot, bool present) {
    if (!services_.modulePresent) return true;
    SetState(slot, present ? PortState::kWaitingForPresence : PortState::kWaitingForRemoval,
             present ? txt::kWaitingForModule : txt::kWaitingForRemoval);
    int inARow = 0;
    while (!Stopping()) {
        inARow = services_.modulePresent(req_.ports[slot]) == present ? inARow + 1 : 0;
        if (inARow >= kPresenceReadings) return true;
        Pause(kLookAgainMs);
    }
    return false;
}

std::string Station::HoldText() const {
    return req_.hold && !Stopping() ? req_.hold() : std::string();
}

// Carries out what the port's rules (NextPortStep) decide, and reports back what happened.
void Station::PortLoop(size_t slot) {
    Slot& s = *slots_[slot];
    const PortCycleOptions options{req_.continuous, req_.presenceCheck, req_.count};
    PortCycleState state;
    state.waitSince = NowMs();
    PortReport report;
    report.hold = HoldText();
    // The last run, while its step is carried out.
    RunResult r;
    std::unique_ptr<SlotEvents> events;
    for (;;) {
        const PortStep step = NextPortStep(state, options, report, Stopping());
        state = step.next;
        report = PortReport();
        for (PortAction action : step.actions) {
            switch (action) {
            case PortAction::kShowHold:
                SetState(slot, PortState::kWaitingForModule, step.text);
                break;
            case PortAction::kLookAgain:
                Pause(kLookAgainMs);
                report.kind = PortReport::kRound;
                break;
            case PortAction::kWaitForPresence:
            case PortAction::kWaitForRemoval: {
                const bool present = action == PortAction::kWaitForPresence;
                WaitForPresence(slot, present);
                report.kind = present ? PortReport::kPresent : PortReport::kRound;
                break;
            }
            case PortAction::kShowWaiting:
                SetState(slot, PortState::kWaitingForModule, txt::kWaitingForModule);
                break;
            case PortAction::kAnnounceRun: {
                std::lock_guard lock(eventsMutex_);
                events_.RunStarting(slot, 0);
                events_.StateChanged(slot, PortState::kProgramming, txt::kPowerOn);
                break;
            }
            case PortAction::kStartRun: {
                const unsigned runNumber = req_.continuous ? state.begun + 1 : 0;
                events = std::make_unique<SlotEvents>(*this, slot, runNumber, state.waitSince);
                r = RunOnce(slot, runNumber, *events, report);
                break;
            }
            case PortAction::kWaitForPort:
                WaitForPortBack(slot, step.text,
                                step.absent ? txt::kPortAbsentWaiting : txt::kPortLostWaiting);
                report.kind = PortReport::kPortBack;
                break;
            case PortAction::kCompleteStart: {
                const bool late = !events->Begun(); // a module that only refused the sync bytes
                events->Begin();
                if (!late) r.elapsedMs = events->SinceBegun();
                break;
            }
            case PortAction::kWriteResult:
                r.dumps = dumps_.Keep(slot, r.dumps);
                r.runId = events->RunId();
                WriteLog(ResultsLog::Event::kEnd, slot, r);
                break;
            case PortAction::kCount: {
                std::lock_guard lock(eventsMutex_);
                Tally& t = s.tally;
                ++t.runs;
                if (r.exitCode == 0)
                    ++t.programmed;
                else if (r.aborted)
                    ++t.aborted;
                else
                    ++t.failed;
                t.exitCode = MostSerious(t.exitCode, r.exitCode);
                s.last = r;
                if (!r.alert.empty()) events_.Message(slot, r.alert);
                events_.Result(slot, r, t);
                events_.StateChanged(slot, EndState(r), r.status);
                break;
            }
            case PortAction::kEnd:
                SetState(slot, PortState::kDone, state.held ? kPortHeldText : txt::kPortDone);
                return;
            }
        }
        report.nowMs = NowMs();
        if (report.kind == PortReport::kRound || report.kind == PortReport::kPortBack)
            report.hold = HoldText();
    }
}

RunResult Station::RunOnce(size_t slot, unsigned runNumber, SlotEvents& events,
                           PortReport& report) {
    Slot& s = *slots_[slot];
    RunRequest rr;
    rr.stream = req_.stream;
    rr.port = req_.ports[slot];
    rr.speed = req_.speed;
    rr.levelCode = req_.levelCode;
    rr.trust = req_.trust;
    rr.runNumber = runNumber;
    rr.labelRecords = req_.ports.size() > 1;
    rr.dumpFile = dumps_.SaveName(slot);
    rr.digest = req_.results != nullptr;
    rr.digestCache = &digests_;
    ProgrammingRun run(std::move(rr), services_, events);
    const uint32_t roundStart = NowMs();
    {
        std::lock_guard lock(runsMutex_);
        s.run = &run;
        s.began = false; // until a module answers, a stop ends the run at once
        // A stop between the loop's check and here must still reach this run.
        if (Stopping()) run.Abort();
    }
    RunResult r;
    {
        // The protocol's own words for a failure reach the operator, not only the trace.
        FailureWatch watch;
        r = run.Execute();
        if (r.exitCode != 0 && !r.aborted) r.failure = watch.Cause();
    }
    {
        std::lock_guard lock(runsMutex_);
        s.run = nullptr;
        s.began = false;
    }
    report.kind = PortReport::kRunEnded;
    report.outcome = r.outcome;
    report.exitCode = r.exitCode;
    report.aborted = r.aborted;
    report.answered = r.answered;
    report.begun = events.Begun();
    report.cause = r.cause;
    report.lostCause = r.lostCause;
    report.roundMs = NowMs() - roundStart;
    return r;
}

StationSummary Station::Run() {
    std::vector<std::thread> threads;
    threads.reserve(req_.ports.size());
    for (size_t i = 0; i < req_.ports.size(); ++i)
        threads.emplace_back(&Station::PortLoop, this, i);
    for (auto& t : threads)
        t.join();

    StationSummary sum;
    sum.ports = req_.ports;
    for (const auto& s : slots_) {
        sum.tallies.push_back(s->tally);
        sum.last.push_back(s->last);
        sum.total.runs += s->tally.runs;
        sum.total.programmed += s->tally.programmed;
        sum.total.failed += s->tally.failed;
        sum.total.aborted += s->tally.aborted;
        sum.total.exitCode = MostSerious(sum.total.exitCode, s->tally.exitCode);
    }
    sum.aborted = abort_.load(std::memory_order_acquire);
    sum.stopped = Stopping();
    sum.resultsLogFailed = logFailed_.load(std::memory_order_acquire);
    sum.exitCode = sum.total.exitCode;
    // An aborted station did not finish the modules it had begun.
    if (sum.aborted) sum.exitCode = MostSerious(sum.exitCode, 7);
    // Runs of their own that never took place (a stop before any module) programmed nothing.
    if (!req_.continuous && !sum.stopped && sum.total.runs == 0 && !req_.ports.empty())
        sum.exitCode = MostSerious(sum.exitCode, 7);
    if (sum.resultsLogFailed) sum.exitCode = MostSerious(sum.exitCode, exitcode::kResultsLogFailed);
    return sum;
}

namespace {
std::string TrimBlanks(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}
} // namespace

std::vector<std::string> SplitPortList(const std::string& list) {
    std::vector<std::string> ports;
    std::set<std::string> seen;
    if (TrimBlanks(list).empty()) return ports;
    size_t from = 0;
    for (;;) {
        size_t at = list.find(',', from);
        std::string name =
            TrimBlanks(list.substr(from, at == std::string::npos ? std::string::npos : at - from));
        std::string key = name;
        for (char& c : key)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (name.empty() || !seen.insert(key).second) return {};
        ports.push_back(name);
        if (at == std::string::npos) return ports;
        from = at + 1;
    }
}

std::string JoinPortList(const std::vector<std::string>& ports) {
    std::string s;
    for (const auto& p : ports)
        s += (s.empty() ? "" : ",") + p;
    return s;
}

} // namespace zem

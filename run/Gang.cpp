#include "Gang.h"

#include <thread>

namespace zem {

namespace {
int Rank(int code) {
    switch (code) {
    case 0:
        return 0;
    case 7:
        return 1;
    case 5:
        return 2;
    case 3:
        return 3;
    case 4:
        return 4;
    default:
        return 5; // a code of no run: nothing hides it
    }
}
} // namespace

int MostSerious(int a, int b) {
    return Rank(b) > Rank(a) ? b : a;
}

// One run's events, stamped with its slot and handed on one at a time.
class Gang::SlotEvents : public RunEvents {
public:
    SlotEvents(Gang& gang, size_t slot) : g_(gang), slot_(slot) {}
    void Status(const std::string& text) override {
        std::lock_guard lock(g_.eventsMutex_);
        g_.events_.Status(slot_, text);
    }
    void Progress(int code, int32_t value) override {
        std::lock_guard lock(g_.eventsMutex_);
        g_.events_.Progress(slot_, code, value);
    }
    void Message(const std::string& line) override {
        std::lock_guard lock(g_.eventsMutex_);
        g_.events_.Message(slot_, line);
    }
    void Result(const RunResult& r) override {
        std::lock_guard lock(g_.eventsMutex_);
        Tally& t = g_.tallies_[slot_];
        ++t.runs;
        if (r.exitCode == 0)
            ++t.programmed;
        else if (r.aborted)
            ++t.aborted;
        else
            ++t.failed;
        t.exitCode = MostSerious(t.exitCode, r.exitCode);
        g_.last_[slot_] = r;
        g_.events_.Result(slot_, r, t);
    }

private:
    Gang& g_;
    size_t slot_;
};

Gang::Gang(GangRequest request, RunServices services, GangEvents& events)
    : req_(std::move(request)), services_(std::move(services)), events_(events),
      running_(req_.ports.size(), nullptr), tallies_(req_.ports.size()), last_(req_.ports.size()) {}

void Gang::Abort() {
    abort_.store(true, std::memory_order_release);
    std::lock_guard lock(runsMutex_);
    for (ProgrammingRun* run : running_)
        if (run) run->Abort();
}

void Gang::PortLoop(size_t slot) {
    SlotEvents events(*this, slot);
    for (unsigned n = 1; req_.count == 0 || n <= req_.count; ++n) {
        if (abort_.load(std::memory_order_acquire)) break;
        {
            std::lock_guard lock(eventsMutex_);
            events_.RunStarting(slot, n);
        }
        RunRequest rr;
        rr.stream = req_.stream;
        rr.port = req_.ports[slot];
        rr.speed = req_.speed;
        rr.levelCode = req_.levelCode;
        rr.trust = req_.trust;
        rr.runNumber = req_.numbered ? n : 0;
        rr.labelRecords = req_.ports.size() > 1;
        ProgrammingRun run(std::move(rr), services_, events);
        {
            std::lock_guard lock(runsMutex_);
            running_[slot] = &run;
        }
        // An abort between the check above and the registration must still reach this run.
        if (abort_.load(std::memory_order_acquire)) run.Abort();
        RunResult r = run.Execute();
        {
            std::lock_guard lock(runsMutex_);
            running_[slot] = nullptr;
        }
        if (r.outcome != RunEnd::Programmed && r.outcome != RunEnd::NotProgrammed) break;
    }
}

GangSummary Gang::Run() {
    std::vector<std::thread> threads;
    threads.reserve(req_.ports.size());
    for (size_t i = 0; i < req_.ports.size(); ++i)
        threads.emplace_back(&Gang::PortLoop, this, i);
    for (auto& t : threads)
        t.join();

    GangSummary s;
    s.ports = req_.ports;
    s.tallies = tallies_;
    s.last = last_;
    s.aborted = abort_.load(std::memory_order_acquire);
    for (const Tally& t : tallies_) {
        s.total.runs += t.runs;
        s.total.programmed += t.programmed;
        s.total.failed += t.failed;
        s.total.aborted += t.aborted;
        s.total.exitCode = MostSerious(s.total.exitCode, t.exitCode);
    }
    s.exitCode = s.total.exitCode;
    // An aborted gang did not program every module it was asked for.
    if (s.aborted) s.exitCode = MostSerious(s.exitCode, 7);
    if (s.total.runs == 0 && !req_.ports.empty()) s.exitCode = MostSerious(s.exitCode, 7);
    return s;
}

} // namespace zem

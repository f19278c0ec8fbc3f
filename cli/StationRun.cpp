#include "StationRun.h"

#include "Interrupt.h"
#include "OpenCause.h"
#include "ProgrammingStation.h"
#include "Reporter.h"
#include "SerialPorts.h"
#include "Terminal.h"
#include "Texts.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <set>

namespace zem::cli {

namespace {

// The station's events on zemcli's display.
class BoardEvents : public StationEvents {
public:
    BoardEvents(Reporter& rep, LineSession* line)
        : rep_(rep), line_(line && line->Active() ? &line->Station() : nullptr) {}
    void SetStation(Station* station) { station_ = station; }
    void SetLineStatus(LineStatus* status) { status_ = status; }
    void StateChanged(size_t slot, PortState state, const std::string& text) override {
        rep_.State(slot, state, text);
        if (status_) status_->StationState(slot, state, text);
        ShowLine(true);
    }
    void Waiting(size_t slot, uint32_t waitedMs) override {
        rep_.Waiting(slot, waitedMs);
        ShowLine(false);
    }
    void RunStarting(size_t slot, unsigned runNumber) override {
        if (line_) line_->OnRunStarting(slot);
        rep_.RunStarting(slot, runNumber);
    }
    // A port that did not open: its result line says so, once, with the cause beneath.
    void Status(size_t slot, const std::string& text) override {
        if (text.rfind(txt::kCanNotOpen, 0) != 0) rep_.Status(slot, text);
    }
    void Progress(size_t slot, int code, int32_t value) override {
        rep_.Progress(slot, code, value);
        if (status_) status_->StationProgress(slot, code, value);
        ShowLine(false);
    }
    void Message(size_t slot, const std::string& line) override {
        if (line.rfind(txt::kCanNotOpen, 0) != 0) rep_.Message(slot, line);
    }
    // The line's backlog under the board. The station's events are its clock: a waiting port
    // sends one a second, a programming one many; the forwarder's state is read a few times a
    // second at most.
    void ShowLine(bool now) {
        if (!line_) return;
        auto t = std::chrono::steady_clock::now();
        if (!now && t - lastLine_ < std::chrono::milliseconds(250)) return;
        lastLine_ = t;
        rep_.LineStatus(BacklogText(line_->Unsent()));
    }
    void Result(size_t slot, const RunResult& r, const Tally& tally) override {
        rep_.Result(slot, r, tally);
        if (!r.cause.empty()) rep_.Message(slot, CauseLine(r.cause));
        if (status_) status_->StationResult(slot, r);
        // The job's quantity reached: modules under way finish, no new one starts.
        if (line_ && line_->OnResult(slot, r.exitCode == 0) && station_) station_->Stop();
        ShowLine(true);
    }
    void Problem(const std::string& text) override { rep_.Problem(text); }

private:
    Reporter& rep_;
    LineStation* line_;
    Station* station_ = nullptr;
    LineStatus* status_ = nullptr;
    std::chrono::steady_clock::time_point lastLine_{};
};

} // namespace

std::vector<std::string> StableAliases(const std::vector<std::string>& ports) {
    std::vector<SerialPortInfo> found;
    if (!EnumerateSerialPorts(found)) return std::vector<std::string>(ports.size());
    return zem::StableAliases(ports, found);
}

int RunStation(const StationOptions& o, bool json, bool terminal, std::FILE* out, std::FILE* err) {
    Reporter reporter(json, terminal, out, err, o.ports, TerminalColumns(err));
    BoardEvents events(reporter, o.line);
    StationRequest req;
    req.stream = o.stream;
    req.speed = o.speed;
    req.ports = o.ports;
    req.levelCode = o.debug ? 20 : 0;
    req.count = o.count;
    req.continuous = o.continuous;
    req.presenceCheck = o.presenceCheck;
    req.dumpDir = o.dumpDir;
    req.results = o.results;
    req.trust = o.trust;
    if (o.results) req.aliases = StableAliases(o.ports);
    if (o.line && o.line->Active()) {
        req.hold = [line = o.line] { return line->HoldText(); };
        events.SetLineStatus(o.line->Station().StartStatus(o.ports));
    }
    RunServices services = DefaultRunServices();
    if (o.wireTrace) services = WithWireTrace(std::move(services), *o.wireTrace);
    Station station(std::move(req), std::move(services), events);
    events.SetStation(&station);
    events.ShowLine(true);
    // A stop of the station's own (the results log failed) is no interruption.
    std::atomic<bool> signalled{false};
    ScopedInterrupt interrupt(
        [&] {
            signalled.store(true, std::memory_order_release);
            station.Stop();
        },
        [&] {
            signalled.store(true, std::memory_order_release);
            station.Abort();
        });
    StationSummary summary = station.Run();
    summary.interrupted = signalled.load(std::memory_order_acquire);
    reporter.Summary(summary, o.continuous);
    return summary.exitCode;
}

} // namespace zem::cli

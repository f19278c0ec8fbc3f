#include "StationLogic.h"

#include "FormMainLogic.h"
#include "OpenCause.h"
#include "Paths.h"
#include "SerialPorts.h"
#include "Settings.h"
#include "Station.h"
#include "StreamFile.h"
#include "Texts.h"
#include "Tick.h"

#include <cstdio>
#include <filesystem>

namespace zem {
namespace {
constexpr const char* kReady = "Press Start to program a module on every port";
constexpr uint32_t kLineDrainAtEndMs = 10000;

} // namespace

const char* StateWords(PortState state) {
    switch (state) {
    case PortState::kWaitingForModule:
    case PortState::kWaitingForPresence:
        return "waiting for the module";
    case PortState::kProgramming:
        return "programming";
    case PortState::kProgrammed:
        return "programmed";
    case PortState::kFailed:
        return "failed";
    case PortState::kAborted:
        return "aborted";
    case PortState::kWaitingForRemoval:
        return "take the module out";
    case PortState::kPortLost:
        return "port lost";
    case PortState::kDone:
        return "stopped";
    }
    return "";
}

uint32_t StateColour(PortState state) {
    switch (state) {
    case PortState::kWaitingForModule:
    case PortState::kWaitingForPresence:
    case PortState::kWaitingForRemoval:
        return 0xFFF2B3; // pale yellow: the operator's turn
    case PortState::kProgramming:
        return 0xB3D4FF; // blue
    case PortState::kProgrammed:
        return 0xB8F0B8; // green
    case PortState::kFailed:
    case PortState::kPortLost:
        return 0xFFB3B3; // red
    case PortState::kAborted:
        return 0xFFD1A3; // orange
    case PortState::kDone:
        return 0xE0E0E0; // grey
    }
    return 0xFFFFFF;
}

std::string YieldText(unsigned programmed, unsigned failed) {
    uint64_t all = uint64_t{programmed} + failed;
    if (all == 0) return "-";
    // Tenths of a percent, rounded down in whole numbers: one failure in thousands is not 100 %.
    uint64_t tenths = uint64_t{programmed} * 1000 / all;
    char buf[80];
    std::snprintf(buf, sizeof buf, "%u.%u %% (%u of %llu)", static_cast<unsigned>(tenths / 10),
                  static_cast<unsigned>(tenths % 10), programmed,
                  static_cast<unsigned long long>(all));
    return buf;
}

std::string PerHourText(unsigned programmed, uint32_t elapsedMs) {
    if (elapsedMs < 1000) return "-";
    double perHour = programmed * 3600000.0 / elapsedMs;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", perHour);
    return buf;
}

namespace {
constexpr uint32_t kSetupColour = 0xE0C8E8; // violet-grey: the station's setup, not a module

// What a row shows of a port that is not programming.
struct Shown {
    PortState state = PortState::kDone; // the end's nearest state (kDone: the setup's)
    std::string words;
    uint32_t colour = 0xFFFFFF;
    std::string status;
    std::string cause;
    int progress = 0;
};

std::string CauseOrEmpty(const std::string& cause) {
    return cause.empty() ? std::string() : CauseLine(cause);
}
} // namespace

// The station's events, from the ports' threads. The station calls one at a time; the GUI thread
// reads under the same lock when it flushes.
class StationLogic::Events : public StationEvents {
public:
    Events(StationView& view, size_t ports) : view_(view), rows_(ports), dirty_(ports, false) {}

    void StateChanged(size_t slot, PortState state, const std::string& text) override {
        std::lock_guard lock(mutex_);
        if (status_) status_->StationState(slot, state, text);
        Row& r = rows_[slot];
        r.state = state;
        r.status = text;
        if (state == PortState::kProgramming) {
            // The next module's boot loader answered: the last one's end is no longer news.
            r.holding = false;
            r.progress = 0;
        }
        if (state == PortState::kWaitingForModule) r.progress = 0;
        if (state == PortState::kDone && text == kPortHeldText) {
            r.holding = true;
            r.end.state = PortState::kFailed;
            r.end.words = "check the jig";
            r.end.colour = StateColour(PortState::kFailed);
            r.end.status = text;
            r.end.progress = 0;
        }
        Touch(slot);
    }
    // With a line: modules under way and results counted against its job's quantity.
    // `status`: where the ports' live state goes (null: the line takes results only).
    void SetLine(LineStation* line, Station* station, LineStatus* status) {
        std::lock_guard lock(mutex_);
        line_ = line;
        station_ = station;
        status_ = status;
    }
    // The line's news from the forwarder's thread, in the status bar.
    void LineNews(const std::string& text) { Problem("Line: " + text); }
    // The forwarder's thread: the backlog changed, the status area follows.
    void LineChanged() {
        std::lock_guard lock(mutex_);
        Post();
    }
    void RunStarting(size_t slot, unsigned) override {
        std::lock_guard lock(mutex_);
        if (line_) line_->OnRunStarting(slot);
        rows_[slot].progress = 0;
        Touch(slot);
    }
    void Status(size_t slot, const std::string& text) override {
        std::lock_guard lock(mutex_);
        rows_[slot].status = text;
        Touch(slot);
    }
    void Progress(size_t slot, int code, int32_t value) override {
        // As the main window: the protocol's codes carry the percentage, the countdown does not.
        // The error code's value is no progress: a failed run's bar shows where it ended.
        if (code < 0 || code >= 7) return;
        std::lock_guard lock(mutex_);
        if (status_) status_->StationProgress(slot, code, value);
        rows_[slot].progress = value < 0 ? 0 : value > 100 ? 100 : static_cast<int>(value);
        Touch(slot);
    }
    void Message(size_t, const std::string&) override {}
    void Result(size_t slot, const RunResult& result, const Tally&) override {
        LineStation* line = nullptr;
        Station* station = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (status_) status_->StationResult(slot, result);
            RowResult(slot, result);
            line = line_;
            station = station_;
        }
        // Outside the lock: the line's news comes back through Problem. The job's quantity
        // reached: modules under way finish, no new one starts.
        if (line && line->OnResult(slot, result.exitCode == 0) && station) station->Stop();
    }
    void RowResult(size_t slot, const RunResult& result) {
        Row& r = rows_[slot];
        r.lastMs = result.elapsedMs;
        r.hasLast = true;
        Shown& e = r.end;
        e = Shown{};
        e.status = result.status;
        e.cause = CauseOrEmpty(result.cause);
        bool began = result.exitCode == 0 || result.answered;
        if (result.outcome == RunEnd::PortNotOpened) {
            // The station's setup, not a module: it counts nowhere.
            e.words = "not opened";
            e.colour = kSetupColour;
            if (e.cause.empty()) e.cause = CauseLine(txt::kPortReopenFailed);
        } else if (!began) {
            // Refused before any module answered (the stream, a handshake the protocol gave up
            // at once): nothing was programmed and no module failed.
            e.words = "not started";
            e.colour = kSetupColour;
            if (e.cause.empty()) e.cause = CauseOrEmpty(result.failure);
        } else if (result.exitCode == 0) {
            e.state = PortState::kProgrammed;
            e.words = StateWords(PortState::kProgrammed);
            e.colour = StateColour(PortState::kProgrammed);
            e.progress = 100;
            ++r.programmed;
        } else if (result.aborted) {
            e.state = PortState::kAborted;
            e.words = StateWords(PortState::kAborted);
            e.colour = StateColour(PortState::kAborted);
            e.progress = r.progress;
            ++r.aborted;
        } else {
            bool lost = !result.lostCause.empty();
            e.state = lost ? PortState::kPortLost : PortState::kFailed;
            e.words = lost ? StateWords(PortState::kPortLost) : StateWords(PortState::kFailed);
            e.colour = StateColour(PortState::kFailed);
            if (lost)
                e.cause = CauseLine(result.lostCause);
            else if (e.cause.empty())
                e.cause = CauseOrEmpty(result.failure);
            ++r.failed;
        }
        r.holding = true;
        RowHistoryEntry h;
        std::string now = UtcNowIso();
        h.time = now.size() >= 19 ? now.substr(11, 8) : now;
        h.outcome = e.words;
        h.cause = e.status + (e.cause.empty() ? "" : "; " + e.cause);
        r.newHistory.push_back(std::move(h));
        Touch(slot);
    }
    void Problem(const std::string& text) override {
        std::lock_guard lock(mutex_);
        problem_ = text;
        Post();
    }
    bool HasEnded() {
        std::lock_guard lock(mutex_);
        return ended_;
    }
    // The station's thread, once Run returned.
    void Ended() {
        std::lock_guard lock(mutex_);
        ended_ = true;
        // A wake-up of its own even when one is pending behind the redraw timer: the end is
        // shown at once.
        posted_ = true;
        view_.PostWake();
    }

    struct Row {
        bool started = false;
        PortState state = PortState::kDone;
        std::string status;
        int progress = 0;
        uint32_t lastMs = 0;
        bool hasLast = false;
        // The last end, shown until the next module's boot loader answers.
        bool holding = false;
        Shown end;
        unsigned programmed = 0; // modules whose run began, by how it ended
        unsigned failed = 0;
        unsigned aborted = 0;
        std::vector<RowHistoryEntry> newHistory; // since the last flush
    };
    struct Changes {
        std::vector<std::pair<size_t, Row>> rows;
        std::vector<Tally> tallies; // every row's, for the totals
        std::string problem;
        bool ended = false;
    };
    // GUI thread: what changed since the last call; the next event posts a wake-up again.
    Changes Take() {
        std::lock_guard lock(mutex_);
        Changes c;
        for (size_t i = 0; i < rows_.size(); ++i) {
            Tally t;
            t.programmed = rows_[i].programmed;
            t.failed = rows_[i].failed;
            t.aborted = rows_[i].aborted;
            t.runs = t.programmed + t.failed + t.aborted;
            c.tallies.push_back(t);
            if (!dirty_[i]) continue;
            dirty_[i] = false;
            c.rows.emplace_back(i, rows_[i]);
            rows_[i].newHistory.clear();
        }
        c.problem = std::move(problem_);
        problem_.clear();
        c.ended = ended_;
        posted_ = false;
        return c;
    }

private:
    void Touch(size_t slot) {
        rows_[slot].started = true;
        dirty_[slot] = true;
        Post();
    }
    void Post() {
        if (posted_) return;
        posted_ = true;
        view_.PostWake();
    }

    StationView& view_;
    std::mutex mutex_;
    std::vector<Row> rows_;
    std::vector<bool> dirty_;
    std::string problem_;
    bool ended_ = false;
    bool posted_ = false;
    LineStation* line_ = nullptr;
    Station* station_ = nullptr;
    LineStatus* status_ = nullptr;
};

StationLogic::StationLogic(StationView& view, Services services, std::string settingsFile)
    : view_(view), services_(std::move(services)), settingsFile_(std::move(settingsFile)) {}

StationLogic::~StationLogic() {
    if (station_) station_->Abort();
    if (thread_.joinable()) thread_.join();
}

uint32_t StationLogic::NowMs() const {
    return services_.clock ? services_.clock->NowMs() : TickCountMs();
}

void StationLogic::Create() {
    StationSettings s = LoadStationSettings(settingsFile_);
    view_.SetText(StationItem::EditPorts, s.ports);
    view_.SetText(StationItem::ComboBoxSpeed, s.speed);
    view_.SetText(StationItem::EditStream, s.streamPath);
    view_.SetText(StationItem::EditResults, s.resultsFile);
    view_.SetText(StationItem::EditDumpDir, s.dumpDir);
    CheckStream();
    PortsEdited();
    SetIdleControls(true);
    ShowTotals();
}

StationSettings StationLogic::CurrentSettings() {
    StationSettings s;
    s.ports = view_.Text(StationItem::EditPorts);
    s.speed = view_.Text(StationItem::ComboBoxSpeed);
    s.streamPath = view_.Text(StationItem::EditStream);
    s.resultsFile = view_.Text(StationItem::EditResults);
    s.dumpDir = view_.Text(StationItem::EditDumpDir);
    return s;
}

void StationLogic::CheckStream() {
    HeaderCheck r = CheckStreamFile(view_.Text(StationItem::EditStream));
    view_.SetText(StationItem::LabelSwVer, r.valid ? r.softwareVersion : "");
    view_.SetText(StationItem::LabelProdName, r.valid ? r.productName : "");
    // The header check's own text for a good file speaks of the main window's button.
    if (!Running()) view_.SetText(StationItem::StatusBar, r.valid ? kReady : r.status);
}

void StationLogic::StreamEdited() {
    CheckStream();
}

void StationLogic::PortsEdited() {
    if (Running()) return;
    ApplyPorts(SplitPortList(view_.Text(StationItem::EditPorts)));
}

void StationLogic::ApplyPorts(const std::vector<std::string>& ports) {
    bool same = ports == ports_;
    ports_ = ports;
    aliases_.assign(ports_.size(), {});
    if (services_.stableAliases) aliases_ = services_.stableAliases(ports_);
    aliases_.resize(ports_.size());
    if (same && shown_.size() == ports_.size()) return;
    ResetRows();
}

void StationLogic::ResetRows() {
    shown_.clear();
    for (size_t i = 0; i < ports_.size(); ++i) {
        StationRow row;
        row.port = ports_[i];
        row.alias = aliases_[i];
        shown_.push_back(std::move(row));
    }
    view_.SetRowCount(shown_.size());
    for (size_t i = 0; i < shown_.size(); ++i)
        view_.SetRow(i, shown_[i]);
}

void StationLogic::ButtonPortsClick() {
    std::vector<std::string> available;
    if (services_.listPorts)
        if (auto found = services_.listPorts())
            for (auto& p : SortPortList(std::move(found)))
                available.push_back(std::move(p.name));
    auto chosen = view_.ChoosePorts(available, SplitPortList(view_.Text(StationItem::EditPorts)));
    if (!chosen) return;
    view_.SetText(StationItem::EditPorts, JoinPortList(*chosen));
    PortsEdited();
}

void StationLogic::ButtonStreamClick() {
    auto path = view_.RunOpenDialog(DirectoryPart(view_.Text(StationItem::EditStream)));
    if (!path) return;
    view_.SetText(StationItem::EditStream, *path);
    CheckStream();
}

void StationLogic::ButtonResultsClick() {
    auto path = view_.RunSaveDialog(view_.Text(StationItem::EditResults));
    if (path) view_.SetText(StationItem::EditResults, *path);
}

void StationLogic::ButtonDumpDirClick() {
    auto dir = view_.RunFolderDialog(view_.Text(StationItem::EditDumpDir));
    if (dir) view_.SetText(StationItem::EditDumpDir, *dir);
}

void StationLogic::SetIdleControls(bool idle) {
    for (StationItem i :
         {StationItem::EditPorts, StationItem::ComboBoxSpeed, StationItem::EditStream,
          StationItem::EditResults, StationItem::EditDumpDir, StationItem::ButtonPorts,
          StationItem::ButtonStream, StationItem::ButtonResults, StationItem::ButtonDumpDir,
          StationItem::ButtonStart})
        view_.SetEnabled(i, idle);
    view_.SetEnabled(StationItem::ButtonStop, !idle);
    view_.SetEnabled(StationItem::ButtonAbort, !idle);
}

bool StationLogic::ButtonStartClick() {
    if (Running()) return false;
    std::string list = view_.Text(StationItem::EditPorts);
    std::vector<std::string> ports = SplitPortList(list);
    // Everything the station needs is checked first: a setup error starts nothing, so it counts
    // nothing and no row turns red for it.
    if (ports.empty()) {
        view_.ShowError(list.find_first_not_of(" \t,") == std::string::npos
                            ? "Choose the ports to program"
                            : "A port is named twice or not at all: " + list);
        return false;
    }
    StationSettings s = CurrentSettings();
    if (s.streamPath.size() > kMaxRunName) {
        view_.ShowError(txt::kPathTooLong);
        return false;
    }
    if (!FileExists(s.streamPath)) {
        view_.ShowError(std::string(txt::kFileNotFound) + ": " + s.streamPath);
        return false;
    }
    HeaderCheck header = CheckStreamFile(s.streamPath);
    if (!header.valid) {
        view_.ShowError(std::string(txt::kNotValidFile) + ": " + s.streamPath + "\n" +
                        header.status);
        return false;
    }
    std::string dumpDir = s.dumpDir.empty() ? DirectoryPart(settingsFile_) : s.dumpDir;
    if (!dumpDir.empty() && !IsFolderWritable(dumpDir)) {
        view_.ShowError("The dump folder " + dumpDir +
                        " does not exist or is not writable: read-backs could not be saved");
        return false;
    }
    results_.reset();
    if (!s.resultsFile.empty()) {
        results_ = std::make_unique<ResultsLog>(s.resultsFile, HostName());
        if (!results_->Writable()) {
            results_.reset();
            view_.ShowError("Unable to write to " + s.resultsFile);
            return false;
        }
    }
    // Remembered now as well as at the close: a shift's choices outlive a crash. A settings file
    // that cannot be written is reported, never a reason to stop production.
    SaveSettings();

    // The hand-edited switches and trust, as the main window reads them, from the same file.
    Settings main = LoadSettings(settingsFile_);
    std::string startDir = DirectoryPart(settingsFile_);
    auto fromStart = [&startDir](const std::string& path) {
        return path.empty() || std::filesystem::path(path).is_absolute() ? path : startDir + path;
    };

    line_.reset(); // the last start's, stopped: its news went to the last events
    events_ = std::make_unique<Events>(view_, ports.size());
    if (!BeginLine(main, startDir, s)) {
        results_.reset();
        return false;
    }

    ApplyPorts(ports);
    // Every row starts afresh, whatever the last station left in it.
    ResetRows();

    StationRequest req;
    req.stream = s.streamPath;
    req.speed = s.speed;
    req.ports = ports_;
    req.aliases = aliases_;
    req.levelCode = main.debug ? 20 : 0;
    req.count = modulesPerPort_;
    req.continuous = true;
    req.presenceCheck = main.trigProgram || LoadStationSettings(settingsFile_).presence;
    req.dumpDir = s.dumpDir;
    req.trust = {fromStart(main.trust.caFile), fromStart(main.trust.certFile),
                 fromStart(main.trust.keyFile)};
    req.results = results_.get();
    if (line_) req.hold = [line = line_.get()] { return line->HoldText(); };
    station_ = std::make_unique<Station>(std::move(req), services_, *events_);
    if (line_) events_->SetLine(line_.get(), station_.get(), line_->StartStatus(ports_));
    summary_.reset();
    tallies_.assign(ports_.size(), {});
    startedAt_ = NowMs();
    endedAt_ = startedAt_;
    SetIdleControls(false);
    view_.SetText(StationItem::StatusBar,
                  line_ ? "Running job " + line_->Job().name : std::string("Running"));
    ShowLine();
    thread_ = std::thread([this] {
        summary_ = station_->Run();
        // What the line has not acknowledged yet gets a few seconds, unless the operator cut the
        // runs short; whatever stays goes at the next start.
        if (line_) line_->End(summary_->aborted ? 0 : kLineDrainAtEndMs);
        events_->Ended();
    });
    ShowTotals();
    return true;
}

bool StationLogic::BeginLine(const Settings& main, const std::string& startDir,
                             const StationSettings& s) {
    line_.reset();
    if (main.line.url.empty()) {
        ShowLine();
        return true;
    }
    const std::string& url = main.line.url;
    LineStation::Config c;
    c.link.url = url;
    auto fromStart = [&startDir](const std::string& path) {
        return path.empty() || std::filesystem::path(path).is_absolute() ? path : startDir + path;
    };
    c.link.caFile = fromStart(main.trust.caFile);
    c.link.certFile = fromStart(main.trust.certFile);
    c.link.keyFile = fromStart(main.trust.keyFile);
    if (!main.line.maxUnsent.empty()) {
        int n = ParseProfileInt(main.line.maxUnsent, -1);
        if (n < 0) {
            view_.ShowError("[Line] MaxUnsent is not a number of results: " + main.line.maxUnsent);
            return false;
        }
        c.maxUnsent = n;
    }
    std::string error;
    if (!ReadLineToken(fromStart(main.line.tokenFile), c.link.token, error)) {
        view_.ShowError(main.line.tokenFile.empty()
                            ? "The line " + url +
                                  " needs the station's token: [Line] TokenFile or ZEM_LINE_TOKEN"
                            : "The line " + url + " needs the station's token: " + error);
        return false;
    }
    if (s.resultsFile.empty()) {
        view_.ShowError("The line " + url +
                        " needs a results log: the results log is what the station sends");
        return false;
    }
    c.resultsPath = s.resultsFile;
    Events* events = events_.get();
    c.backlogChanged = [events] { events->LineChanged(); };
    auto line = std::make_unique<LineStation>();
    int code = line->Begin(
        c, s.streamPath, [events](const std::string& text) { events->LineNews(text); }, error,
        services_.lineHttp ? services_.lineHttp : HttpFunction(HttpExchange));
    if (code != 0) {
        view_.ShowError(error);
        return false;
    }
    line_ = std::move(line);
    return true;
}

void StationLogic::ShowLine() {
    view_.SetText(StationItem::StatusLine,
                  line_ ? "Line: " + BacklogText(line_->Unsent()) : std::string());
}

void StationLogic::ButtonStopClick() {
    if (!station_) return;
    station_->Stop();
    view_.SetText(StationItem::StatusBar, "Stopping: the modules under way are finished");
}

void StationLogic::ButtonAbortClick() {
    if (!station_) return;
    station_->Abort();
    view_.SetText(StationItem::StatusBar, "Aborting");
}

bool StationLogic::CloseRequest() {
    if (station_) {
        if (!view_.Confirm("Modules are being programmed. Abort them and close the station?"))
            return false;
        station_->Abort();
        if (thread_.joinable()) thread_.join();
        Flush();
    }
    // Reported when it fails, but the window closes all the same: the operator's choices are
    // worth a warning, not a station that cannot be closed.
    SaveSettings();
    return true;
}

bool StationLogic::SaveSettings() {
    if (SaveStationSettings(settingsFile_, CurrentSettings())) {
        saveFailureShown_.clear();
        return true;
    }
    char text[1024];
    std::snprintf(text, sizeof text, txt::kWriteFailed, settingsFile_.c_str());
    std::string why = SettingsWriteCause(settingsFile_);
    std::string message = text;
    if (!why.empty()) message.append("\n").append(CauseLine(why));
    // Once: a read-only file would otherwise be reported at every Start of the shift.
    if (message != saveFailureShown_) view_.ShowError(message);
    saveFailureShown_ = message;
    return false;
}

void StationLogic::RowActivated(size_t row) {
    if (row >= shown_.size()) return;
    std::vector<std::string> lines;
    for (const auto& e : History(row))
        lines.push_back(e.time + "  " + e.outcome + "  " + e.cause);
    if (lines.empty()) lines.push_back("No module has ended on this port yet");
    std::string title = shown_[row].port;
    if (!shown_[row].alias.empty()) title += " (" + shown_[row].alias + ")";
    view_.ShowHistory(title, lines);
}

std::vector<RowHistoryEntry> StationLogic::History(size_t row) const {
    if (row >= shown_.size()) return {};
    auto it = history_.find(shown_[row].port);
    return it == history_.end() ? std::vector<RowHistoryEntry>{} : it->second;
}

void StationLogic::Wake() {
    // The station's end is shown at once: the operator waits on it after Stop or Abort.
    bool ended = events_ && events_->HasEnded();
    if (timerPending_ && !ended) return;
    uint32_t now = NowMs();
    uint32_t since = now - lastFlush_;
    if (!flushed_ || since >= kFlushIntervalMs || ended) {
        Flush();
        return;
    }
    timerPending_ = true;
    view_.StartFlushTimer(kFlushIntervalMs - since);
}

void StationLogic::Flush() {
    timerPending_ = false;
    flushed_ = true;
    lastFlush_ = NowMs();
    if (!events_) return;
    Events::Changes c = events_->Take();
    tallies_ = c.tallies;
    tallies_.resize(shown_.size());
    for (auto& [i, r] : c.rows) {
        if (i >= shown_.size()) continue;
        StationRow& row = shown_[i];
        row.started = r.started;
        row.state = r.state;
        const Tally& t = tallies_[i];
        row.runs = std::to_string(t.runs);
        row.programmed = std::to_string(t.programmed);
        row.failed = std::to_string(t.failed);
        if (r.hasLast) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.1f s", r.lastMs / 1000.0);
            row.lastRun = buf;
        }
        if (r.holding && r.state != PortState::kProgramming) {
            // The last end stays where the operator looks while the next module is put in.
            row.state = r.end.state;
            row.stateText = r.end.words;
            row.colour = r.end.colour;
            row.status = r.end.status;
            row.cause = r.end.cause;
            row.progress = r.end.progress;
            switch (r.state) {
            case PortState::kWaitingForModule:
            case PortState::kWaitingForPresence:
                // A port held by its line says why instead.
                row.status += r.status.rfind("Held: ", 0) == 0 ? " - " + r.status
                                                               : " - waiting for the next module";
                break;
            case PortState::kWaitingForRemoval:
                row.state = r.state;
                row.stateText = StateWords(r.state);
                row.status += " - take the module out";
                break;
            case PortState::kPortLost:
                row.state = r.state;
                row.stateText = StateWords(r.state);
                row.colour = StateColour(r.state);
                row.status = r.status;
                break;
            default:
                break;
            }
        } else {
            row.stateText = StateWords(r.state);
            row.colour = StateColour(r.state);
            row.status = r.status;
            row.cause.clear();
            row.progress = r.progress;
        }
        if (!r.newHistory.empty()) {
            auto& h = history_[row.port];
            for (auto& e : r.newHistory)
                h.push_back(std::move(e));
            if (h.size() > kHistoryLength)
                h.erase(h.begin(), h.begin() + static_cast<long>(h.size() - kHistoryLength));
        }
        view_.SetRow(i, row);
    }
    if (!c.problem.empty()) view_.SetText(StationItem::StatusBar, c.problem);
    if (c.ended && station_) Finished();
    if (line_) ShowLine();
    ShowTotals();
}

void StationLogic::Finished() {
    if (thread_.joinable()) thread_.join();
    endedAt_ = NowMs();
    station_.reset();
    results_.reset();
    SetIdleControls(true);
    if (summary_) {
        std::string text = summary_->aborted ? "Aborted" : "Stopped";
        if (summary_->resultsLogFailed) text = "Stopped: the results log could not be written";
        view_.SetText(StationItem::StatusBar, text);
    }
}

void StationLogic::ShowTotals() {
    unsigned programmed = 0, failed = 0;
    for (const Tally& t : tallies_) {
        programmed += t.programmed;
        failed += t.failed;
    }
    uint32_t elapsed = (station_ ? NowMs() : endedAt_) - startedAt_;
    view_.SetText(StationItem::LabelProgrammed, std::to_string(programmed));
    view_.SetText(StationItem::LabelFailed, std::to_string(failed));
    view_.SetText(StationItem::LabelYield, YieldText(programmed, failed));
    view_.SetText(StationItem::LabelPerHour, PerHourText(programmed, elapsed));
}

} // namespace zem

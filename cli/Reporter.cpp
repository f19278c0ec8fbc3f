#include "Reporter.h"

#include "Format.h"
#include "OpenCause.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace zem::cli {

namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

nlohmann::json TallyJson(const Tally& t) {
    return {{"runs", t.runs},
            {"programmed", t.programmed},
            {"failed", t.failed},
            {"aborted", t.aborted},
            {"exit_code", t.exitCode}};
}

std::string TallyText(const Tally& t) {
    std::string s =
        std::to_string(t.programmed) + " programmed, " + std::to_string(t.failed) + " failed";
    if (t.aborted) s += ", " + std::to_string(t.aborted) + " aborted";
    return s;
}

std::string Bar(int percent, int width) {
    int pct = std::clamp(percent, 0, 100);
    int filled = pct * width / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    return "[" + bar + "] " + Format("%3d%%", pct);
}

// A state that has a line of its own: the others show in the run's status and result lines.
bool StateHasLine(PortState s) {
    return s == PortState::kWaitingForModule || s == PortState::kWaitingForPresence ||
           s == PortState::kWaitingForRemoval || s == PortState::kPortLost;
}

} // namespace

std::string JsonString(const std::string& s) {
    return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string WaitedText(uint32_t ms) {
    uint32_t s = ms / 1000;
    if (s < 60) return Format("%u s", s);
    if (s < 3600) return Format("%u min %02u s", s / 60, s % 60);
    return Format("%u h %02u min", s / 3600, s / 60 % 60);
}

std::string Reporter::Elide(const std::string& name, size_t width) {
    if (name.size() <= width) return name;
    if (width < 4) return name.substr(0, width);
    size_t keep = width - 3;
    size_t head = keep / 2;
    return name.substr(0, head) + "..." + name.substr(name.size() - (keep - head));
}

Reporter::Reporter(bool json, bool terminal, std::FILE* out, std::FILE* err)
    : json_(json), terminal_(terminal), out_(out), err_(err),
      output_(std::make_unique<OutputQueue>(err)), rows_(1) {}

Reporter::Reporter(bool json, bool terminal, std::FILE* out, std::FILE* err,
                   std::vector<std::string> ports, int columns)
    : json_(json), terminal_(terminal), out_(out), err_(err),
      output_(std::make_unique<OutputQueue>(err)), ports_(std::move(ports)),
      columns_(columns > 0 ? columns : 80), rows_(ports_.size()) {
    for (const auto& p : ports_)
        nameWidth_ = std::max(nameWidth_, p.size());
    // On a terminal a row keeps room for its bar and text; on a pipe names stand whole.
    if (Drawing())
        nameWidth_ = std::min(nameWidth_, std::max<size_t>(12, static_cast<size_t>(columns_) / 3));
}

void Reporter::Json(const nlohmann::json& j) {
    output_->Put(out_, j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void Reporter::Err(const std::string& text) {
    // Rows moved up over after text was dropped would overwrite what stands above them: the
    // board starts afresh below instead.
    if (uint64_t dropped = output_->Dropped(); dropped != droppedSeen_) {
        droppedSeen_ = dropped;
        drawn_ = false;
        barShown_ = false;
    }
    output_->Put(err_, text);
}

void Reporter::EndBar() {
    if (barShown_) {
        Err("\n");
        barShown_ = false;
    }
}

void Reporter::DrawBar() {
    const Row& r = rows_[0];
    Err("\r\033[K" + Bar(r.percent < 0 ? 0 : r.percent, 40) + " " + r.status);
    barShown_ = true;
}

std::string Reporter::RowText(size_t slot) const {
    const Row& r = rows_[slot];
    std::string name = Elide(ports_[slot], nameWidth_);
    name.resize(nameWidth_, ' ');
    std::string body;
    switch (r.state) {
    case PortState::kWaitingForModule:
    case PortState::kWaitingForPresence:
        body = r.stateText + " (" + WaitedText(r.waitedMs) + ")";
        break;
    case PortState::kProgramming:
        body = Bar(r.percent, 20) + " " + r.status;
        if (r.run > 1) body += " (run " + std::to_string(r.run) + ")";
        break;
    default:
        body = r.stateText;
        break;
    }
    if (r.hasTally && r.state != PortState::kProgramming) body += "; " + TallyText(r.tally);
    std::string row = name + "  " + body;
    // One screen line per row, or the redraw would leave stale lines behind.
    size_t room = static_cast<size_t>(std::max(columns_ - 1, 10));
    if (row.size() > room) row.resize(room);
    return row;
}

void Reporter::ClearBoard() {
    if (!drawn_) return;
    Err("\033[" + std::to_string(drawnLines_) + "A\r\033[J");
    drawn_ = false;
}

void Reporter::Draw(bool force) {
    auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < kRedrawEvery) return;
    lastDraw_ = now;
    if (!headerShown_) {
        headerShown_ = true;
        // The names the rows had to shorten, whole, once.
        for (const auto& p : ports_)
            if (p.size() > nameWidth_) Err(Elide(p, nameWidth_) + " = " + p + "\n");
    }
    std::string text;
    if (drawn_) text += "\033[" + std::to_string(drawnLines_) + "A";
    for (size_t i = 0; i < rows_.size(); ++i)
        text += "\r\033[K" + RowText(i) + "\n";
    drawnLines_ = rows_.size();
    if (!lineStatus_.empty()) {
        std::string line = "Line: " + lineStatus_;
        size_t room = static_cast<size_t>(std::max(columns_ - 1, 10));
        if (line.size() > room) line.resize(room);
        text += "\r\033[K" + line + "\n";
        ++drawnLines_;
    }
    Err(text);
    drawn_ = true;
}

void Reporter::Line(size_t slot, const std::string& text) {
    if (!Board()) {
        EndBar();
        Err(text + "\n");
        return;
    }
    ClearBoard();
    std::string name = ports_[slot];
    if (Drawing()) name = Elide(name, nameWidth_);
    name.resize(std::max(name.size(), nameWidth_), ' ');
    Err(name + "  " + text + "\n");
    if (Drawing()) Draw(true);
}

void Reporter::Status(size_t slot, const std::string& text) {
    Row& row = rows_[slot];
    if (text == row.status) return;
    row.status = text;
    row.printedTenth = -1;
    if (json_) {
        nlohmann::json j{{"event", "status"}, {"status", text}};
        if (Board()) j["port"] = ports_[slot];
        Json(j);
    } else if (Drawing()) {
        if (Board())
            Draw(true);
        else
            DrawBar();
    } else {
        Line(slot, text);
    }
}

void Reporter::Progress(size_t slot, int code, int percent) {
    if (code > 7) return; // the countdown changes nothing on the display
    Row& row = rows_[slot];
    if (percent == row.percent) return;
    row.percent = percent;
    if (json_) {
        nlohmann::json j{{"event", "progress"}, {"code", code}, {"percent", percent}};
        if (Board()) j["port"] = ports_[slot];
        Json(j);
    } else if (Drawing()) {
        if (Board())
            Draw(false);
        else
            DrawBar();
    } else if (int tenth = percent / 10; tenth > row.printedTenth) {
        row.printedTenth = tenth;
        Line(slot, row.status + " " + std::to_string(percent) + "%");
    }
}

void Reporter::Message(size_t slot, const std::string& text) {
    if (json_) {
        nlohmann::json j{{"event", "message"}, {"text", text}};
        if (Board()) j["port"] = ports_[slot];
        Json(j);
        return;
    }
    Line(slot, text);
}

void Reporter::State(size_t slot, PortState state, const std::string& text) {
    Row& row = rows_[slot];
    if (state == row.state && text == row.stateText) return;
    row.state = state;
    row.stateText = text;
    if (state != PortState::kProgramming) {
        row.status.clear();
        row.percent = -1;
        row.printedTenth = -1;
    }
    if (state == PortState::kWaitingForModule || state == PortState::kWaitingForPresence)
        row.waitedMs = 0;
    if (json_) {
        Json({{"event", "state"},
              {"port", Board() ? ports_[slot] : std::string()},
              {"state", PortStateName(state)},
              {"text", text}});
    } else if (Drawing() && Board()) {
        Draw(true);
    } else if (StateHasLine(state)) {
        Line(slot, text);
    }
}

void Reporter::Waiting(size_t slot, uint32_t waitedMs) {
    rows_[slot].waitedMs = waitedMs;
    if (Drawing() && Board()) Draw(false);
}

void Reporter::RunStarting(size_t slot, unsigned runNumber) {
    Row& row = rows_[slot];
    row.run = runNumber;
    row.percent = -1;
    row.printedTenth = -1;
}

void Reporter::Result(int exitCode, const std::string& status, uint32_t elapsedMs,
                      const std::vector<std::string>& dumps, const std::string& cause) {
    if (json_) {
        if (!cause.empty()) Message(CauseLine(cause));
        Json({{"event", "result"},
              {"exit_code", exitCode},
              {"status", status},
              {"cause", cause},
              {"elapsed_ms", elapsedMs},
              {"dumps", dumps}});
        return;
    }
    EndBar();
    std::string text =
        Format("%s (exit code %d, %.1f s)\n", status.c_str(), exitCode, elapsedMs / 1000.0);
    // The cause beneath the failure it explains.
    if (!cause.empty()) text += CauseLine(cause) + "\n";
    for (const auto& d : dumps)
        text += "dump file: " + d + "\n";
    Err(text);
}

void Reporter::Result(size_t slot, const RunResult& r, const Tally& tally) {
    Row& row = rows_[slot];
    row.tally = tally;
    row.hasTally = true;
    if (json_) {
        Json({{"event", "result"},
              {"port", ports_[slot]},
              {"run", r.runNumber},
              {"exit_code", r.exitCode},
              {"status", r.status},
              {"cause", r.cause},
              {"aborted", r.aborted},
              {"elapsed_ms", r.elapsedMs},
              {"dumps", r.dumps},
              {"tally", TallyJson(tally)}});
        return;
    }
    std::string text =
        Format("%s (exit code %d, %.1f s)", r.status.c_str(), r.exitCode, r.elapsedMs / 1000.0);
    for (const auto& d : r.dumps)
        text += ", dump file: " + d;
    text += "; tally: " + TallyText(tally);
    Line(slot, text);
}

void Reporter::Summary(const StationSummary& s, bool continuous) {
    std::vector<std::string> failed;
    for (size_t i = 0; i < s.ports.size(); ++i) {
        // A port that only waited failed nothing; a run of its own that never ran did.
        bool never = !continuous && !s.stopped && s.tallies[i].runs == 0;
        if (s.tallies[i].exitCode != 0 || never) failed.push_back(s.ports[i]);
    }
    if (json_) {
        nlohmann::json tallies = nlohmann::json::object();
        for (size_t i = 0; i < s.ports.size(); ++i)
            tallies[s.ports[i]] = TallyJson(s.tallies[i]);
        Json({{"event", "summary"},
              {"ports", s.ports.size()},
              {"runs", s.total.runs},
              {"programmed", s.total.programmed},
              {"failed", s.total.failed},
              {"aborted", s.total.aborted},
              {"failed_ports", failed},
              {"interrupted", s.interrupted},
              {"clean_stop", s.interrupted && !s.aborted},
              {"results_log_failed", s.resultsLogFailed},
              {"tally", tallies},
              {"exit_code", s.exitCode}});
        return;
    }
    ClearBoard();
    std::string text;
    for (size_t i = 0; i < s.ports.size(); ++i)
        text += Format("%-*s  %s\n", static_cast<int>(std::max(nameWidth_, s.ports[i].size())),
                       s.ports[i].c_str(), TallyText(s.tallies[i]).c_str());
    std::string line = "Summary: " + TallyText(s.total) + " on " + std::to_string(s.ports.size()) +
                       (s.ports.size() == 1 ? " port" : " ports");
    if (!failed.empty()) {
        line += "; failed:";
        for (const auto& p : failed)
            line += " " + p;
    }
    text += Format("%s (exit code %d)\n", line.c_str(), s.exitCode);
    Err(text);
}

void Reporter::LineStatus(const std::string& text) {
    if (text == lineStatus_) return;
    // A board drawn without the line's status gets one more line: drawn afresh, not moved over.
    bool grows = lineStatus_.empty();
    if (grows && Drawing() && Board()) ClearBoard();
    lineStatus_ = text;
    if (Drawing() && Board()) Draw(grows);
}

void Reporter::Problem(const std::string& text) {
    if (Drawing() && Board()) ClearBoard();
    EndBar();
    Err("zemcli: " + text + "\n");
    if (Drawing() && Board()) Draw(true);
}

} // namespace zem::cli

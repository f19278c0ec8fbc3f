#include "GangRun.h"

#include "OpenCause.h"

#include "ProgramRun.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <set>

namespace zem::cli {

namespace {

void JsonLine(std::FILE* f, const nlohmann::json& j) {
    std::fprintf(f, "%s\n",
                 j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(f);
}

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

// Pipe lines: a progress line only when a port crosses another tenth.
constexpr int kPipeStep = 10;

class GangReporter : public GangEvents {
public:
    GangReporter(const std::vector<std::string>& ports, bool json, bool terminal, std::FILE* out,
                 std::FILE* err, ResultsLog* results)
        : ports_(ports), json_(json), terminal_(terminal && !json), out_(out), err_(err),
          results_(results), rows_(ports.size()) {
        for (const auto& p : ports)
            width_ = std::max(width_, p.size());
    }

    void RunStarting(size_t slot, unsigned runNumber) override {
        Row& row = rows_[slot];
        row.run = runNumber;
        row.percent = 0;
        row.pipeStep = -1;
        if (terminal_) Draw();
    }

    void Status(size_t slot, const std::string& text) override {
        Row& row = rows_[slot];
        if (text == row.status) return;
        row.status = text;
        if (json_)
            JsonLine(out_, {{"event", "status"}, {"port", ports_[slot]}, {"status", text}});
        else if (terminal_)
            Draw();
        else
            Plain(slot, text);
    }

    void Progress(size_t slot, int code, int32_t value) override {
        if (code > 7) return;
        Row& row = rows_[slot];
        if (value == row.percent) return;
        row.percent = value;
        if (json_) {
            JsonLine(out_, {{"event", "progress"},
                            {"port", ports_[slot]},
                            {"code", code},
                            {"percent", value}});
        } else if (terminal_) {
            Draw();
        } else if (int step = value / kPipeStep; step != row.pipeStep) {
            row.pipeStep = step;
            Plain(slot, row.status + " " + std::to_string(value) + "%");
        }
    }

    void Message(size_t slot, const std::string& line) override {
        if (json_)
            JsonLine(out_, {{"event", "message"}, {"port", ports_[slot]}, {"text", line}});
        else
            Plain(slot, line);
    }

    void Result(size_t slot, const RunResult& r, const Tally& tally) override {
        if (results_) results_->Append(r);
        if (!r.alert.empty()) Message(slot, r.alert);
        if (!r.cause.empty()) Message(slot, zem::CauseLine(r.cause));
        if (json_) {
            JsonLine(out_, {{"event", "result"},
                            {"port", ports_[slot]},
                            {"run", r.runNumber},
                            {"exit_code", r.exitCode},
                            {"status", r.status},
                            {"aborted", r.aborted},
                            {"elapsed_ms", r.elapsedMs},
                            {"dumps", r.dumps},
                            {"tally", TallyJson(tally)}});
            return;
        }
        std::string text = r.status + " (exit code " + std::to_string(r.exitCode) + ", " +
                           Seconds(r.elapsedMs) + " s)";
        for (const auto& d : r.dumps)
            text += ", dump file: " + d;
        text += "; tally: " + TallyText(tally);
        Plain(slot, text);
    }

    void Summary(const GangSummary& s) {
        std::vector<std::string> failed;
        for (size_t i = 0; i < s.ports.size(); ++i)
            if (s.tallies[i].exitCode != 0 || s.tallies[i].runs == 0) failed.push_back(s.ports[i]);
        if (json_) {
            nlohmann::json tallies = nlohmann::json::object();
            for (size_t i = 0; i < s.ports.size(); ++i)
                tallies[s.ports[i]] = TallyJson(s.tallies[i]);
            JsonLine(out_, {{"event", "summary"},
                            {"ports", s.ports.size()},
                            {"runs", s.total.runs},
                            {"programmed", s.total.programmed},
                            {"failed", s.total.failed},
                            {"aborted", s.total.aborted},
                            {"failed_ports", failed},
                            {"interrupted", s.aborted},
                            {"tally", tallies},
                            {"exit_code", s.exitCode}});
            return;
        }
        ClearBoard();
        for (size_t i = 0; i < s.ports.size(); ++i)
            std::fprintf(err_, "%-*s  %s\n", static_cast<int>(width_), s.ports[i].c_str(),
                         TallyText(s.tallies[i]).c_str());
        std::string line = "Summary: " + TallyText(s.total) + " on " +
                           std::to_string(s.ports.size()) +
                           (s.ports.size() == 1 ? " port" : " ports");
        if (!failed.empty()) {
            line += "; failed:";
            for (const auto& p : failed)
                line += " " + p;
        }
        std::fprintf(err_, "%s (exit code %d)\n", line.c_str(), s.exitCode);
        std::fflush(err_);
    }

private:
    struct Row {
        std::string status;
        int percent = -1;
        int pipeStep = -1;
        unsigned run = 0;
    };

    static std::string Seconds(uint32_t ms) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.1f", ms / 1000.0);
        return buf;
    }

    // A line of its own: above the bars on a terminal, prefixed with the port otherwise.
    void Plain(size_t slot, const std::string& text) {
        ClearBoard();
        std::fprintf(err_, "%-*s  %s\n", static_cast<int>(width_), ports_[slot].c_str(),
                     text.c_str());
        if (terminal_) Draw();
        std::fflush(err_);
    }

    // Takes the bars off the screen; the cursor ends where the first bar was.
    void ClearBoard() {
        if (!terminal_ || !drawn_) return;
        std::fprintf(err_, "\033[%zuA\r\033[J", rows_.size());
        drawn_ = false;
    }

    void Draw() {
        constexpr int kWidth = 30;
        if (drawn_) std::fprintf(err_, "\033[%zuA", rows_.size());
        for (size_t i = 0; i < rows_.size(); ++i) {
            const Row& r = rows_[i];
            int pct = std::clamp(r.percent, 0, 100);
            int filled = pct * kWidth / 100;
            std::string bar(static_cast<size_t>(filled), '#');
            bar.append(static_cast<size_t>(kWidth - filled), '.');
            std::fprintf(err_, "\r\033[K%-*s [%s] %3d%% %s", static_cast<int>(width_),
                         ports_[i].c_str(), bar.c_str(), pct, r.status.c_str());
            if (r.run > 1) std::fprintf(err_, " (run %u)", r.run);
            std::fputc('\n', err_);
        }
        drawn_ = true;
        std::fflush(err_);
    }

    std::vector<std::string> ports_;
    bool json_;
    bool terminal_;
    std::FILE* out_;
    std::FILE* err_;
    ResultsLog* results_;
    std::vector<Row> rows_;
    size_t width_ = 0;
    bool drawn_ = false;
};

} // namespace

std::vector<std::string> SplitPorts(const std::string& list) {
    std::vector<std::string> ports;
    std::set<std::string> seen;
    size_t from = 0;
    for (;;) {
        size_t at = list.find(',', from);
        std::string name = list.substr(from, at == std::string::npos ? at : at - from);
        // Letter case does not tell ports apart (COM1, com1): two runs would share one port.
        std::string key = name;
        for (char& c : key)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (name.empty() || !seen.insert(key).second) return {};
        ports.push_back(name);
        if (at == std::string::npos) return ports;
        from = at + 1;
    }
}

int RunGang(const GangOptions& o, bool json, bool terminal, std::FILE* out, std::FILE* err) {
    GangReporter reporter(o.ports, json, terminal, out, err, o.results);
    GangRequest req;
    req.stream = o.stream;
    req.speed = o.speed;
    req.ports = o.ports;
    req.levelCode = o.debug ? 20 : 0;
    req.count = o.count;
    req.numbered = o.numbered;
    req.trust = o.trust;
    RunServices services = DefaultRunServices();
    if (o.wireTrace) services = WithWireTrace(std::move(services), *o.wireTrace);
    Gang gang(std::move(req), std::move(services), reporter);
    ScopedInterrupt interrupt([&gang] { gang.Abort(); });
    GangSummary summary = gang.Run();
    reporter.Summary(summary);
    return summary.exitCode;
}

} // namespace zem::cli

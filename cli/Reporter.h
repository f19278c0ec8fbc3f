#pragma once
#include "OutputQueue.h"
#include "ProgrammingStation.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace zem::cli {

// How runs are shown, a single run and a station's ports alike: a human display on standard
// error, or one JSON object per line on standard output. Two layouts of the same events:
// - one run (no port names given): a bar redrawn on its line on a terminal, plain lines otherwise;
// - a board (port names given): on a terminal one row per port, redrawn in place and cut to the
//   terminal's width (long names elided in the middle, the full names once above the board); a
//   port that waits shows its state and how long it has waited. On a pipe, lines that start with
//   the port.
// Plain lines come one per state or status change and at most one per 10 % of progress under a
// status, so that a log file stays readable when the value swings (the handshake toggles it on
// every attempt). A stream whose reader has gone (a closed pipe, a dropped session) is written no
// more, and the run goes on. The text is written by an output thread of its own (OutputQueue):
// a display that blocks never holds the run that reports to it.
//
// Not thread-safe: the station delivers its events one at a time.
class Reporter {
public:
    // One run.
    Reporter(bool json, bool terminal, std::FILE* out, std::FILE* err);
    // A board of ports; `columns`: the terminal's width (0: unknown, 80 assumed).
    Reporter(bool json, bool terminal, std::FILE* out, std::FILE* err,
             std::vector<std::string> ports, int columns);

    // One run's events.
    void Status(const std::string& text) { Status(0, text); }
    void Progress(int code, int percent) { Progress(0, code, percent); }
    void Message(const std::string& text) { Message(0, text); } // alerts and log lines of the run
    // `cause`: why the run failed in the system's words ("" when nothing more is known).
    void Result(int exitCode, const std::string& status, uint32_t elapsedMs,
                const std::vector<std::string>& dumps, const std::string& cause = {});

    // A port's events (slot 0 for one run).
    void Status(size_t slot, const std::string& text);
    void Progress(size_t slot, int code, int percent);
    void Message(size_t slot, const std::string& text);
    void State(size_t slot, PortState state, const std::string& text);
    void Waiting(size_t slot, uint32_t waitedMs);
    void RunStarting(size_t slot, unsigned runNumber);
    void Result(size_t slot, const RunResult& result, const Tally& tally);
    // The station's end: tallies, the ports that failed, the exit code.
    void Summary(const StationSummary& summary, bool continuous);
    // The line's backlog ("3 results not sent since 05:31:02 UTC"): on a terminal a last line
    // under the board's rows, redrawn with them. A pipe and JSON have the line's news already
    // (the link's changes, with the backlog, and what stays unsent at the end).
    void LineStatus(const std::string& text);
    const std::string& LineStatusText() const { return lineStatus_; }
    // Something the operator must hear of at once: on standard error, whatever the format.
    void Problem(const std::string& text);
    // Waits until what was reported so far is written (or the output has not moved for
    // `stallMs`); false when it is still held.
    bool Flush(uint32_t stallMs = 10000) { return output_->Drain(stallMs); }

    // A row of the board as a terminal shows it, at most `columns` - 1 characters.
    std::string RowText(size_t slot) const;
    // A name cut to `width` characters by taking out its middle.
    static std::string Elide(const std::string& name, size_t width);

private:
    struct Row {
        std::string status;
        int percent = -1;
        int printedTenth = -1; // highest tenth printed as a plain line under this status
        PortState state = PortState::kProgramming;
        std::string stateText;
        uint32_t waitedMs = 0;
        unsigned run = 0;
        Tally tally;
        bool hasTally = false;
    };

    bool Board() const { return !ports_.empty(); }
    bool Drawing() const { return terminal_ && !json_; }
    void Json(const nlohmann::json& j);
    void Err(const std::string& text);
    // A plain line: prefixed with the port on a board; above the rows on a terminal.
    void Line(size_t slot, const std::string& text);
    void ClearBoard();
    // Redraws the board; unless forced, at most ten times a second.
    void Draw(bool force);
    void EndBar();
    void DrawBar();

    bool json_;
    bool terminal_;
    std::FILE* out_;
    std::FILE* err_;
    std::unique_ptr<OutputQueue> output_;
    uint64_t droppedSeen_ = 0; // output_'s drops the board has redrawn after
    std::vector<std::string> ports_;
    int columns_ = 80;
    size_t nameWidth_ = 0;
    std::vector<Row> rows_;
    bool drawn_ = false;
    size_t drawnLines_ = 0; // the rows and the line's status, as last drawn
    std::string lineStatus_;
    bool headerShown_ = false;
    bool barShown_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

std::string JsonString(const std::string& s);
// "12 s", "3 min 05 s", "2 h 01 min".
std::string WaitedText(uint32_t ms);

} // namespace zem::cli

#pragma once
#include "LineStation.h"
#include "ProgrammingStation.h"
#include "ResultsLog.h"
#include "Services.h"
#include "Settings.h"
#include "StationSettings.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zem {

// The controls of the station window that its logic reads or writes.
enum class StationItem {
    EditPorts,
    ComboBoxSpeed,
    EditStream,
    LabelSwVer,
    LabelProdName,
    EditResults,
    EditDumpDir,
    LabelProgrammed,
    LabelFailed,
    LabelYield,
    LabelPerHour,
    ButtonPorts,
    ButtonStream,
    ButtonResults,
    ButtonDumpDir,
    ButtonStart,
    ButtonStop,
    ButtonAbort,
    StatusBar,
    // The line's backlog beside the status ("Line: 3 results not sent since 05:31:02 UTC");
    // empty without a line.
    StatusLine,
};

// What one row of the station window shows, every text ready to be drawn.
struct StationRow {
    std::string port;
    std::string alias;    // the port's stable name where known
    bool started = false; // false: the station has not run on this port yet
    PortState state = PortState::kDone;
    std::string stateText;      // the state in words
    uint32_t colour = 0xFFFFFF; // 0xRRGGBB of the state
    std::string status;         // the run's or the port's status text
    std::string cause;          // "Cause: ..." beneath the status; empty when none is known
    int progress = 0;           // 0..100
    std::string runs = "0";     // how many modules this port has had
    std::string programmed = "0";
    std::string failed = "0";
    std::string lastRun; // the last run's duration, "12.3 s"; empty before the first
};

// One module's end on a port, as the row's history lists it.
struct RowHistoryEntry {
    std::string time;    // "hh:mm:ss" UTC
    std::string outcome; // "programmed", "failed", "aborted", "not opened", ...
    std::string cause;   // the status and cause in words
};

// What the station logic needs of a toolkit. Every call comes from the GUI thread but PostWake.
class StationView {
public:
    virtual ~StationView() = default;
    virtual std::string Text(StationItem item) = 0;
    virtual void SetText(StationItem item, const std::string& text) = 0;
    virtual void SetEnabled(StationItem item, bool enabled) = 0;
    // The number of rows changed: the rows are built anew, then each is set.
    virtual void SetRowCount(size_t rows) = 0;
    virtual void SetRow(size_t index, const StationRow& row) = 0;

    // From any thread: have the GUI thread call StationLogic::Wake soon, through the toolkit's own
    // queue. The logic posts at most one wake-up until it has been served.
    virtual void PostWake() = 0;
    // Have the GUI thread call StationLogic::Flush after ms (one timer; a new start replaces it).
    virtual void StartFlushTimer(uint32_t ms) = 0;

    // The ports to program from those present; nothing when cancelled.
    virtual std::optional<std::vector<std::string>>
    ChoosePorts(const std::vector<std::string>& available,
                const std::vector<std::string>& chosen) = 0;
    virtual std::optional<std::string> RunOpenDialog(const std::string& initialDir) = 0;
    // Where the results log goes (a file that may not exist yet).
    virtual std::optional<std::string> RunSaveDialog(const std::string& initialPath) = 0;
    virtual std::optional<std::string> RunFolderDialog(const std::string& initialDir) = 0;
    // A question with Yes and No; true for Yes.
    virtual bool Confirm(const std::string& text) = 0;
    virtual void ShowError(const std::string& text) = 0;
    // A row's history, newest last, in a window of its own.
    virtual void ShowHistory(const std::string& title, const std::vector<std::string>& lines) = 0;
};

// The station window, independent of any toolkit: its settings, the station of every chosen port
// run on a thread of its own, and the station's events gathered for the window. Events from the
// ports' threads only mark rows as changed and post one wake-up; the GUI thread redraws what
// changed at most once per kFlushIntervalMs, however many ports there are.
class StationLogic {
public:
    static constexpr uint32_t kFlushIntervalMs = 50;

    // `settingsFile`: the full path of "Zem.ini".
    StationLogic(StationView& view, Services services, std::string settingsFile);
    ~StationLogic(); // aborts a station still running and waits for it
    StationLogic(const StationLogic&) = delete;
    StationLogic& operator=(const StationLogic&) = delete;

    // Settings, header of the stream file, rows of the remembered ports.
    void Create();

    void ButtonPortsClick();
    void ButtonStreamClick();
    void ButtonResultsClick();
    void ButtonDumpDirClick();
    // The stream path was edited: its header is checked again.
    void StreamEdited();
    // The port list was edited: the rows follow it (while no station runs).
    void PortsEdited();

    // Starts a loop on every port. False (with an error shown) when it cannot start.
    bool ButtonStartClick();
    // No new module is started; those being programmed finish.
    void ButtonStopClick();
    // Every run ends now.
    void ButtonAbortClick();
    // The window is to close. False when it stays open: the operator kept the runs going. Settings
    // that cannot be written are reported (once) and never keep the window open.
    bool CloseRequest();
    // The operator opened a row (double click): its history.
    void RowActivated(size_t row);
    // A row's last ends, oldest first (at most kHistoryLength).
    std::vector<RowHistoryEntry> History(size_t row) const;
    static constexpr size_t kHistoryLength = 50;

    // GUI thread, after PostWake: redraws now or once the interval has passed.
    void Wake();
    // GUI thread: redraws the rows that changed and the totals.
    void Flush();

    bool Running() const { return station_ != nullptr; }
    // The last station's summary; nothing before one ended.
    const std::optional<StationSummary>& Summary() const { return summary_; }
    const std::vector<StationRow>& Rows() const { return shown_; }
    // Modules per port before a port's loop ends; 0 (the default): until stopped.
    void SetModulesPerPort(unsigned count) { modulesPerPort_ = count; }
    StationSettings CurrentSettings();

private:
    class Events;
    friend class Events;

    uint32_t NowMs() const;
    void ApplyPorts(const std::vector<std::string>& ports);
    void ResetRows();
    void CheckStream();
    void ShowTotals();
    void SetIdleControls(bool idle);
    void Finished();
    // The line's backlog in the status area.
    void ShowLine();
    // With [Line] Url: the token, the results log and the stream's job checked, the forwarder
    // started. False (with an error shown) when the station may not start.
    bool BeginLine(const Settings& main, const std::string& startDir, const StationSettings& s);
    // False when the settings could not be written; the first failure is reported, later ones
    // of the same file and cause are not.
    bool SaveSettings();

    StationView& view_;
    Services services_;
    std::string settingsFile_;
    std::vector<std::string> ports_;
    std::vector<std::string> aliases_;
    std::vector<StationRow> shown_;
    std::vector<Tally> tallies_;
    // By port name: a port's history outlives the rows built anew at each start.
    std::map<std::string, std::vector<RowHistoryEntry>> history_;
    std::string saveFailureShown_; // the settings failure already reported

    std::unique_ptr<Events> events_;
    std::unique_ptr<ResultsLog> results_;
    std::unique_ptr<LineStation> line_; // before station_: the station's hold asks it
    std::unique_ptr<Station> station_;
    std::thread thread_;
    std::optional<StationSummary> summary_;
    unsigned modulesPerPort_ = 0;
    uint32_t startedAt_ = 0;
    uint32_t endedAt_ = 0;
    uint32_t lastFlush_ = 0;
    bool flushed_ = false;
    bool timerPending_ = false;
};

// The state's words and colour as a row shows them.
const char* StateWords(PortState state);
uint32_t StateColour(PortState state);

// Programmed among the modules whose run began (programmed and failed), rounded down to a tenth
// so that a single failure never shows as 100 %, with the counts: "99.9 % (1385 of 1386)"; "-"
// before either.
std::string YieldText(unsigned programmed, unsigned failed);
// Whole modules per hour over `elapsedMs`; "-" before a second has passed.
std::string PerHourText(unsigned programmed, uint32_t elapsedMs);

} // namespace zem

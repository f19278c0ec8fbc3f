#pragma once
#include "DumpFiles.h"
#include "ProgrammingRun.h"
#include "ResultsLog.h"
#include "Texts.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zem {

struct PortReport;

struct StationRequest {
    std::string stream;
    std::string speed;
    std::vector<std::string> ports;
    // Per port, its stable name where known (for the results log); may be shorter than `ports`.
    std::vector<std::string> aliases;
    int32_t levelCode = 0;
    unsigned count = 1; // modules per port, one after the other; 0: until stopped
    // A station of many modules per port (--loop, --count): waiting for a module is a state, not
    // a failed run, a lost port is waited for, and every dump keeps a number of its own.
    bool continuous = false;
    // Before each module the port's presence lines must show it, and after its run show it gone.
    bool presenceCheck = false;
    std::string dumpDir; // empty: the current folder
    TlsTrust trust = {}; // for tls:// ports
    ResultsLog* results = nullptr;
    // Asked before each round of waiting for a module: while it gives a text, the port starts no
    // module and shows that text (a line that may not produce without its records). Any thread.
    std::function<std::string()> hold;
};

// What a port is doing. A row of a station's display shows one of these.
enum class PortState {
    kWaitingForModule,   // the handshake offers its sync bytes; nothing has answered yet
    kWaitingForPresence, // the presence lines do not show a module yet
    kProgramming,        // a module's boot loader answered: its run is under way
    kProgrammed,         // the last run programmed its module
    kFailed,             // the last run ended without programming its module
    kAborted,            // the last run was aborted
    kWaitingForRemoval,  // the presence lines still show the module just programmed
    kPortLost,           // the port went away; looked for again about once a second
    kDone,               // this port starts no more modules
};
const char* PortStateName(PortState state); // "waiting", "programming", ... (JSON)

// The text of a port's last state change (kDone) when its modules failed within a second, again
// and again: a jig that answers at once with a refusal, not modules worth counting.
inline constexpr const char* kPortHeldText =
    "Held: the last modules failed within a second each, check the jig";

// What happened on one port.
struct Tally {
    unsigned runs = 0;
    unsigned programmed = 0;
    unsigned failed = 0;  // ended with a failure of their own
    unsigned aborted = 0; // ended as not programmed because they were aborted
    int exitCode = 0;     // the most serious of its runs
};

struct StationSummary {
    std::vector<std::string> ports;
    std::vector<Tally> tallies;  // one per port, in the order given
    std::vector<RunResult> last; // each port's last result (a port that never ran: default)
    Tally total;
    bool stopped = false;          // Stop: no new module was started after it
    bool aborted = false;          // Abort: runs under way were cut short
    bool resultsLogFailed = false; // a line could not be written; the station stopped
    bool interrupted = false;      // set by the front end: the operator (a signal) stopped it
    int exitCode = 0;              // the worst outcome of the runs that began; see MostSerious
};

// The events of a station's ports, one slot per port (its index in the request).
//
// Threading: calls come from the ports' own threads, one at a time (the station holds one lock
// across each call, so a consumer needs no lock of its own, and one port's calls come in order).
// The port's protocol waits while a call runs: return quickly, never block on another thread
// that may itself wait for the station, and post to a GUI thread rather than paint from here.
// Stop and Abort may be called from inside a call.
class StationEvents {
public:
    virtual ~StationEvents() = default;
    // The port's state changed; `text` is what its row says ("Waiting for the module",
    // "Port COM3 lost: the line hung up, waiting for it").
    virtual void StateChanged(size_t slot, PortState state, const std::string& text) = 0;
    // While a port waits for a module, about once a second: how long it has waited so far.
    virtual void Waiting(size_t slot, uint32_t waitedMs) { (void)slot, (void)waitedMs; }
    // A module's run begins (its boot loader answered), with its number on this port.
    virtual void RunStarting(size_t slot, unsigned runNumber) { (void)slot, (void)runNumber; }
    // The run's status text, progress (protocol code and value) and log lines; only while a run
    // is under way, never for a port that waits.
    virtual void Status(size_t slot, const std::string& text) = 0;
    virtual void Progress(size_t slot, int code, int32_t value) = 0;
    virtual void Message(size_t slot, const std::string& line) = 0;
    // A run ended, with the port's tally so far; its results line is already written.
    virtual void Result(size_t slot, const RunResult& result, const Tally& tally) = 0;
    // Something the operator must hear of at once that no port owns (the results log failed).
    virtual void Problem(const std::string& text) { (void)text; }
};

// Modules programmed side by side, one thread per port, each with its own runs, channel and
// protocol; with a count above one (or none) a port's next module follows its last. A port that
// cannot take any module (stream refused, port not opened at the start) ends its runs there.
class Station {
public:
    Station(StationRequest request, RunServices services, StationEvents& events);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Blocks until every port has ended.
    StationSummary Run();
    // From any thread: no new module is started; ports that wait end at once, runs under way go
    // on to their end.
    void Stop();
    // From any thread: every run under way stops at once, and no new one starts.
    void Abort();

private:
    class SlotEvents;
    struct Slot;
    void PortLoop(size_t slot);
    // One run on the port; what the port's rules need of it goes to `report`.
    RunResult RunOnce(size_t slot, unsigned runNumber, SlotEvents& events, PortReport& report);
    // The request's hold text; empty without a hold, or once the station stops.
    std::string HoldText() const;
    bool Stopping() const { return stop_.load(std::memory_order_acquire); }
    uint32_t NowMs() const;
    // Waits ms, or less when the station stops.
    void Pause(uint32_t ms);
    void SetState(size_t slot, PortState state, const std::string& text);
    // False when the station stopped first. `format` gives the row's text from the port's name
    // and the cause.
    bool WaitForPortBack(size_t slot, const std::string& cause,
                         const char* format = txt::kPortLostWaiting);
    bool WaitForPresence(size_t slot, bool present);
    void WriteLog(ResultsLog::Event event, size_t slot, const RunResult& r);

    StationRequest req_;
    RunServices services_;
    StationEvents& events_;
    DumpFiles dumps_;
    DigestCache digests_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> abort_{false};
    std::atomic<bool> logFailed_{false};
    std::mutex eventsMutex_; // one event at a time, whichever port it comes from
    std::mutex runsMutex_;   // the runs under way, against Stop and Abort
    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;
    WakeLatch stopLatch_; // raised by Stop: ends a lost port's reopening where it waits
    std::vector<std::unique_ptr<Slot>> slots_;
};

// Of two exit codes, the one a station must see: 6 (the results log could not be written)
// before 4 (stream file not found) before 3 (stream file not valid) before 5 (port not opened)
// before 7 (module not programmed) before 0.
int MostSerious(int a, int b);

// "COM3, COM4,host:4001" as its names; blanks around a name are dropped. Empty when a name is
// empty or given twice (letters' case aside: COM1 and com1 are one port, and two runs would share
// it).
std::vector<std::string> SplitPortList(const std::string& list);
std::string JoinPortList(const std::vector<std::string>& ports);

} // namespace zem

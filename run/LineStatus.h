#pragma once
#include "LineForwarder.h"
#include "ProgrammingStation.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zem {

// The words a station's port state is sent to its line with.
const char* LineStateWord(PortState state);

// Sends a station's live state to its line: every port's state (its word, percentage, cause), the
// job, the backlog of unsent results, and a heartbeat. The whole picture goes each time, so a
// line that was away has it all again with the next report, and only the latest state of a port
// is ever sent (a burst of changes becomes one report). Reports go from a thread of their own:
// PortState only records the state, and nothing the station does waits for the network.
class LineStatus {
public:
    struct Options {
        LineLink link;
        std::vector<std::string> ports; // port n of the line is ports[n-1]
        std::string job, jobSha256;
        uint32_t minGapMs = 200;     // at most 5 reports a second
        uint32_t heartbeatMs = 2000; // a report at least this often
        unsigned timeoutMs = 5000;   // one report, a hanging connection included
        // The results not yet on the line, asked before each report (any thread).
        std::function<LineBacklog()> backlog;
    };
    LineStatus(Options options, HttpFunction http);
    ~LineStatus();
    LineStatus(const LineStatus&) = delete;
    LineStatus& operator=(const LineStatus&) = delete;

    void Start();
    // Sends the last state once more (at most a timeout's wait; not when the last report got no
    // answer), then ends the thread.
    void Stop();
    // From any thread: port `slot` (0-based, the order of Options::ports) is in `state`, with a
    // percentage while programming and a cause when it failed or was lost.
    void PortState(size_t slot, const std::string& state, int percent, const std::string& cause);
    // The station's own events in the line's words, the one mapping every front end uses.
    void StationState(size_t slot, zem::PortState state, const std::string& text);
    void StationProgress(size_t slot, int code, int32_t value);
    void StationResult(size_t slot, const RunResult& result);
    // Reports the line acknowledged so far, and whether the last one was.
    uint64_t Acknowledged() const;
    bool LastAcknowledged() const;
    // The report's body as it would go now (for tests).
    std::string Body();

private:
    struct Port {
        std::string state = "waiting";
        int percent = 0;
        std::string cause;
        std::string since;
        // The port's last result, shown until its next module answers: carried by every report,
        // so that coalescing never loses a module that failed between two reports.
        std::string lastOutcome, lastCause;
    };
    void Loop();

    Options o_;
    HttpFunction http_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Port> ports_;
    bool dirty_ = true;
    bool stop_ = false;
    uint64_t acked_ = 0;
    bool lastAcked_ = false;
    bool lastFailed_ = false; // the last report got no answer: Stop sends no final one
};

} // namespace zem

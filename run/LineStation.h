#pragma once
#include "LineForwarder.h"
#include "LineStatus.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zem {

// The station's token: read from `tokenFile` when one is named (its first line, spaces and line
// ends trimmed), else from $ZEM_LINE_TOKEN. False with `error` in words when there is none.
bool ReadLineToken(const std::string& tokenFile, std::string& token, std::string& error);

// "3 results not sent since 05:31:02 UTC" (the date too when it is not today's), or
// "all results sent".
std::string BacklogText(const LineBacklog& backlog);

// A station's link to its line for one start, whatever shows it (zemcli, the station window):
// the stream's job checked before any port opens, the forwarder sending the results log, the hold
// while too much is unsent, and the job's quantity followed.
class LineStation {
public:
    using SayFunction = std::function<void(const std::string&)>;
    struct Config {
        LineLink link;            // url empty: no line
        long long maxUnsent = -1; // -1: no hold
        std::string resultsPath;  // the results log: the station's outbox
        // The forwarder's thread, when what is not yet on the line changed.
        std::function<void()> backlogChanged;
    };
    LineStation();
    ~LineStation();
    LineStation(const LineStation&) = delete;
    LineStation& operator=(const LineStation&) = delete;

    // Checks the stream's job and starts the forwarder. 0 to go on; otherwise 2 (refused: not a
    // released job, retired, its quantity reached, the line not reached) or 4 (the stream cannot
    // be read), with `error` the reason. `say`: the line's news for the operator, from any thread.
    int Begin(const Config& config, const std::string& stream, SayFunction say, std::string& error,
              HttpFunction http = HttpExchange);
    // Waits up to `drainMs` for what is left and stops the forwarder; false when some stays
    // unsent (Unsent() says how much; it goes at the next start with the line).
    bool End(uint32_t drainMs);

    bool Active() const { return forwarder_ != nullptr; }
    // While not empty, no new module may start: the text says why. Any thread.
    std::string HoldText() const;
    // A module's run began on port `slot` (its boot loader answered): until its result it counts
    // against the job's quantity, so that no port starts one more than the job needs.
    void OnRunStarting(size_t slot);
    // After each result, its end line written: true once the job's quantity is reached (the
    // station then stops). Any thread.
    bool OnResult(size_t slot, bool programmed);
    const LineJob& Job() const { return job_; }
    // What is not yet on the line, the results just written included.
    LineBacklog Unsent() const;
    // From here on the ports' live state goes to the line (port n is ports[n-1]); null without a
    // line. Stopped by End, before the forwarder, so the last state goes with the last results.
    LineStatus* StartStatus(const std::vector<std::string>& ports);

private:
    void Say(const std::string& text);

    Config c_;
    LineJob job_;
    SayFunction say_;
    std::unique_ptr<LineForwarder> forwarder_;
    std::unique_ptr<LineStatus> status_;
    HttpFunction http_;
    std::string sha_;
    std::atomic<long long> programmedHere_{0};
    std::atomic<bool> quantitySaid_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> writtenAt_; // this start's results, the times they were written
    std::vector<size_t> underWay_;       // the ports whose module's run is under way
};

} // namespace zem

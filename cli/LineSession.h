#pragma once
#include "LineForwarder.h"
#include "LineStatus.h"
#include "NetSerial.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zem::cli {

struct LineOptions {
    std::string url;          // --line; empty: no line
    std::string tokenFile;    // --line-token-file; else $ZEM_LINE_TOKEN
    long long maxUnsent = -1; // --max-unsent; -1: no hold
    TlsTrust trust;           // --ca, --cert, --key
};

// A station's link to its line for one invocation: the stream's job checked before any port
// opens, the forwarder sending the results log, the hold while too much is unsent, and the job's
// quantity followed.
class LineSession {
public:
    // Returns 0 to go on, or the exit code to end with (the reason already on `err`).
    int Begin(const LineOptions& options, const std::string& stream, const std::string& resultsPath,
              std::FILE* err);
    // Gives the forwarder a few seconds for what is left, stops it and says what stays unsent.
    void End();

    bool Active() const { return forwarder_ != nullptr; }
    // While not empty, no new module may start: the text says why.
    std::string HoldText() const;
    // After each result, its end line written: true once the job's quantity is reached (the
    // station then stops).
    bool OnResult(bool programmed);
    const std::string& JobName() const { return job_.name; }
    // A station's ports: their live state goes to the line from here on (null without a line).
    LineStatus* StartStatus(const std::vector<std::string>& ports);

private:
    void Say(const std::string& text);

    std::FILE* err_ = stderr;
    std::string url_;
    LineOptions o_;
    LineJob job_;
    std::unique_ptr<LineForwarder> forwarder_;
    std::unique_ptr<LineStatus> status_;
    LineLink link_;
    std::string sha_;
    std::atomic<long long> programmedHere_{0};
    std::atomic<unsigned long long> resultsHere_{0};
    std::atomic<bool> quantitySaid_{false};
    std::mutex sayMutex_;
};

} // namespace zem::cli

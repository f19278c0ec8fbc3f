#pragma once
#include "LineStation.h"
#include "NetSerial.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace zem::cli {

struct LineOptions {
    std::string url;          // --line; empty: no line
    std::string tokenFile;    // --line-token-file; else $ZEM_LINE_TOKEN
    long long maxUnsent = -1; // --max-unsent; -1: no hold
    TlsTrust trust;           // --ca, --cert, --key
};

// zemcli's link to its line for one invocation: the options taken, the line's news told on
// standard error. The station's side of it is LineStation's.
class LineSession {
public:
    // Returns 0 to go on, or the exit code to end with (the reason already on `err`).
    int Begin(const LineOptions& options, const std::string& stream, const std::string& resultsPath,
              std::FILE* err);
    // Gives the forwarder a few seconds for what is left, stops it and says what stays unsent.
    void End();

    bool Active() const { return line_.Active(); }
    LineStation& Station() { return line_; }
    std::string HoldText() const { return line_.HoldText(); }

private:
    void Say(const std::string& text);

    std::FILE* err_ = stderr;
    std::string url_;
    LineStation line_;
    std::mutex sayMutex_;
};

} // namespace zem::cli

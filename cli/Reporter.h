#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zem::cli {

// How a run is shown: a human display on standard error (a redrawn bar on a terminal, plain
// lines otherwise) or one JSON object per line on standard output. Plain lines come one per
// status change and at most one per 10 % of progress under that status, so that a log file stays
// readable when the value swings (the handshake toggles it on every attempt).
class Reporter {
public:
    Reporter(bool json, bool terminal, std::FILE* out, std::FILE* err)
        : json_(json), terminal_(terminal), out_(out), err_(err) {}

    void Status(const std::string& text);
    void Progress(int code, int percent);
    void Message(const std::string& text); // alerts and log lines of the run
    void Result(int exitCode, const std::string& status, uint32_t elapsedMs,
                const std::vector<std::string>& dumps);

private:
    void EndBar();

    bool json_;
    bool terminal_;
    std::FILE* out_;
    std::FILE* err_;
    std::string status_;
    int percent_ = -1;
    int printedTenth_ = -1; // highest tenth of progress printed as a plain line for this status
    bool barShown_ = false;
};

std::string JsonString(const std::string& s);

} // namespace zem::cli

#pragma once
#include "ProgrammingRun.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zem {

// A station's record of every run: one JSON object per line, appended as each run ends and the
// file closed after it, so that nothing already ended is lost if the process is killed.
class ResultsLog {
public:
    explicit ResultsLog(std::string path) : path_(std::move(path)) {}

    // The file can be appended to (it is created when missing).
    bool Writable() const;
    // Thread-safe. False when the line could not be written.
    bool Append(const RunResult& result);

    // The line for a result; `nowUtc` is the run's end as "YYYY-MM-DDThh:mm:ss.mmmZ".
    static std::string Line(const RunResult& result, const std::string& nowUtc,
                            const std::string& streamCrc);
    static std::string OutcomeName(const RunResult& result);

private:
    std::string path_;
    std::mutex mutex_;
};

// CRC-32 (IEEE 802.3) of a file as eight upper-case hexadecimal digits; empty when unreadable.
std::string FileCrc32(const std::string& path);
// The current time in UTC, ISO 8601 with milliseconds.
std::string UtcNowIso();

} // namespace zem

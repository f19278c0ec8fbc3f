#pragma once
#include "ProgrammingRun.h"

#include <mutex>
#include <string>

namespace zem {

// A station's record of every module: one JSON object per line, a "start" line when a module's
// run begins (so a crash leaves a trace of the modules it was programming) and an "end" line when
// it ends. Each line is one append, synced to the disk before Append returns.
class ResultsLog {
public:
    // `host` names the station in every line.
    explicit ResultsLog(std::string path, std::string host);

    const std::string& Path() const { return path_; }
    // The file can be opened for appending (it is created when missing).
    bool Writable() const;
    // The same, with why not in `cause` ("Is a directory", "Permission denied").
    bool Writable(std::string& cause) const;
    // Tells this start of the station from every other: the same in all its lines.
    const std::string& StartId() const { return startId_; }

    enum class Event { kStart, kEnd };
    // Thread-safe; the lines of runs side by side never interleave. False when the line could not
    // be written whole; `error` then says so, naming the file and the cause.
    bool Append(Event event, const RunResult& result, const std::string& alias, std::string& error);

    // The line for a result (without its newline); `nowUtc` as "YYYY-MM-DDThh:mm:ss.mmmZ";
    // `alias`: the port's stable name where known, else empty.
    // `startId`: the station start's id, null in the line when empty.
    static std::string Line(Event event, const RunResult& result, const std::string& nowUtc,
                            const std::string& host, const std::string& alias,
                            const std::string& startId = {});
    static std::string OutcomeName(const RunResult& result);

private:
    std::string path_;
    std::string host_;
    std::string startId_;
    std::mutex mutex_;
};

// The current time in UTC, ISO 8601 with milliseconds.
std::string UtcNowIso();

// A random (version 4) UUID, "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx" in lower case.
std::string NewUuid();
// This process's start id: a UUID made at its first call, the same for every later one.
const std::string& ProcessStartId();

} // namespace zem

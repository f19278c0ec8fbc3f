#pragma once
#include <ctime>
#include <string>

namespace zem {

// Date and time formats of the archive names: the process locale's short date and long time.
struct TimeFormats {
    std::string date = "%x";
    std::string time = "%X";
};

// "<date with '/' as '-'>_<time>" for a local time.
std::string ArchiveStamp(const std::tm& local, const TimeFormats& formats = {});

enum class ArchiveResult {
    NoLog,    // no log file: nothing done
    Archived, // archive written, log file emptied
    Failed,   // log unreadable or archive not writable: log file left as it was
};

// Copies "<startDir>zem.log" to "<startDir><stamp>_zem.log", stamped with the log's modification
// time at two-second resolution, then empties the log. startDir ends with a separator.
ArchiveResult ArchiveLog(const std::string& startDir, const TimeFormats& formats = {},
                         std::string* archivePath = nullptr);

} // namespace zem

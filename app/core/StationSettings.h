#pragma once
#include <string>
#include <vector>

namespace zem {

// The station window's choices, kept in the [Station] section of "Zem.ini".
struct StationSettings {
    std::string ports; // names separated by commas
    std::string speed = "115200";
    std::string streamPath;
    std::string resultsFile; // empty: no results log
    std::string dumpDir;     // empty: the start folder
    // Presence=1: every port waits for its module's presence lines before the handshake and for
    // their going after it. Hand-edited, read only, never written.
    bool presence = false;
};

// Missing file, section or key: the defaults above.
StationSettings LoadStationSettings(const std::string& file);
// Writes the five keys in one replacement of the file, leaving every other section, key and
// comment as it is; false, with the file as it was, when it cannot be written.
bool SaveStationSettings(const std::string& file, const StationSettings& s);
// The file has a [Station] section (the main window then offers the station).
bool HasStationSection(const std::string& file);

} // namespace zem

#include "StationSettings.h"

#include "ProfileFile.h"
#include "Settings.h"

#include <cctype>
#include <filesystem>
#include <set>

namespace zem {
namespace {

constexpr const char* kStation = "Station";

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

} // namespace

StationSettings LoadStationSettings(const std::string& file) {
    StationSettings s;
    ProfileFile ini;
    if (!ini.Load(file)) return s;
    auto read = [&ini](const char* key, std::string& into) {
        if (auto v = ini.Get(kStation, key)) into = *v;
    };
    read("Ports", s.ports);
    read("Speed", s.speed);
    read("StreamPath", s.streamPath);
    read("ResultsFile", s.resultsFile);
    read("DumpDir", s.dumpDir);
    std::string presence;
    read("Presence", presence);
    s.presence = ParseProfileInt(presence, 0) != 0;
    return s;
}

bool SaveStationSettings(const std::string& file, const StationSettings& s) {
    namespace fs = std::filesystem;
    std::error_code ec;
    bool exists = fs::exists(file, ec);
    // The main window's rules: a read-only file stays as it is, and an unreadable one is never
    // replaced by our keys alone.
    if (exists && !MayWriteFile(file)) return false;
    ProfileFile ini;
    if (!ini.Load(file) && exists) return false;
    ini.Set(kStation, "Ports", s.ports);
    ini.Set(kStation, "Speed", s.speed);
    ini.Set(kStation, "StreamPath", s.streamPath);
    ini.Set(kStation, "ResultsFile", s.resultsFile);
    ini.Set(kStation, "DumpDir", s.dumpDir);
    return WriteFileAtomically(file, ini.Text());
}

bool HasStationSection(const std::string& file) {
    ProfileFile ini;
    if (!ini.Load(file)) return false;
    // A section is there when any line opens it, keys or not.
    std::string text = ini.Text();
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = Trim(text.substr(at, end - at));
        if (!line.empty() && line.back() == '\r') line = Trim(line.substr(0, line.size() - 1));
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            std::string name = Trim(line.substr(1, line.size() - 2));
            if (name.size() == 7) {
                bool same = true;
                for (size_t i = 0; i < 7; ++i)
                    same = same && std::tolower(static_cast<unsigned char>(name[i])) ==
                                       std::tolower(static_cast<unsigned char>(kStation[i]));
                if (same) return true;
            }
        }
        at = end + 1;
    }
    return false;
}

} // namespace zem

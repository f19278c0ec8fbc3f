// The profile file ("Zem.ini", the device configuration file) on arbitrary text, with an arbitrary
// section, key and value to write: the section, the key and the value each ended by a NUL, then the
// file's text. A write that is accepted reads back (line breaks aside) and leaves every other key
// as it was; a refused one changes nothing; parsing what was written gives the same text again.
#include "FuzzInput.h"
#include "ProfileFile.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trimmed(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// Names that may be in the file, taken loosely from its lines (more than there are is harmless:
// a pair that is in neither file reads as missing twice).
void Candidates(const std::string& text, std::vector<std::string>& sections,
                std::vector<std::string>& keys) {
    size_t pos = 0;
    while (pos < text.size() && sections.size() < 12 && keys.size() < 24) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        const std::string line = Trimmed(text.substr(pos, nl - pos));
        pos = nl + 1;
        if (!line.empty() && line[0] == '[') {
            size_t close = line.find(']');
            if (close != std::string::npos) sections.push_back(Trimmed(line.substr(1, close - 1)));
        } else if (size_t eq = line.find('='); eq != std::string::npos) {
            keys.push_back(Trimmed(line.substr(0, eq)));
        }
    }
}

std::string WithoutLineBreaks(const std::string& v) {
    std::string out;
    for (char c : v)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = zem::fuzz::SplitAtNul(data, size, 4);
    const std::string text = parts.back();
    const std::string section = parts.size() > 1 ? parts[0] : "System";
    const std::string key = parts.size() > 2 ? parts[1] : "Port";
    const std::string value = parts.size() > 3 ? parts[2] : "COM42";

    zem::ProfileFile ini;
    ini.Parse(text);
    const std::string parsed = ini.Text();
    {
        zem::ProfileFile again;
        again.Parse(parsed);
        if (again.Text() != parsed) __builtin_trap(); // parsing what was written is stable
    }

    std::vector<std::string> sections{section, "System", "Form", ""};
    std::vector<std::string> keys{key, "Port", "Debug", "TrigProgram", "Name"};
    Candidates(text, sections, keys);
    std::vector<std::pair<std::pair<std::string, std::string>, std::optional<std::string>>> before;
    for (const auto& s : sections)
        for (const auto& k : keys)
            before.push_back({{s, k}, ini.Get(s, k)});

    const bool accepted = ini.Set(section, key, value);
    const std::string written = ini.Text();
    if (!accepted && written != parsed) __builtin_trap(); // a refused write changes nothing
    zem::ProfileFile back;
    back.Parse(written);
    if (back.Text() != written) __builtin_trap();
    if (accepted && back.Get(section, key) != WithoutLineBreaks(value)) __builtin_trap();
    const std::string ls = Lower(section), lk = Lower(key);
    for (const auto& [name, was] : before) {
        if (accepted && Lower(name.first) == ls && Lower(name.second) == lk) continue;
        if (back.Get(name.first, name.second) != was) __builtin_trap();
    }
    return 0;
}

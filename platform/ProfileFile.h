#pragma once
#include <optional>
#include <string>
#include <vector>

namespace zem {

// An initialisation file held as its lines, so that a write changes only the one value and keeps
// comments, unknown keys and order as they are.
class ProfileFile {
public:
    // Missing or unreadable file: empty profile, Load returns false.
    bool Load(const std::string& path);
    void Parse(const std::string& text);
    std::string Text() const;

    std::optional<std::string> Get(const std::string& section, const std::string& key) const;
    void Set(const std::string& section, const std::string& key, const std::string& value);

private:
    std::vector<std::string> lines_;
    std::string eol_ = "\n";
};

// Writes the whole file to a temporary name beside it and renames it over the old one, so that a
// failed write never leaves a half-written file.
bool WriteFileAtomically(const std::string& path, const std::string& bytes);

} // namespace zem

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
    bool bom_ = false;
};

// Replaces what a file holds and never leaves it half-written. The file itself stays: a symbolic
// link is followed and stays a link, and the file keeps its mode, owner and group. A missing file
// is created.
bool WriteFileAtomically(const std::string& path, const std::string& bytes);

// Whether this process may write the existing file at `path` (its own access, not the owner's).
bool MayWriteFile(const std::string& path);

} // namespace zem

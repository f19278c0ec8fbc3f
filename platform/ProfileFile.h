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
    // Writes `value` as ValueText gives it. False, with nothing changed, for a section or key name
    // that a reader would not find again (empty key, a line break, a "=" in a key, a "]" in a
    // section, blanks at either end, a key that would start a comment or a section).
    bool Set(const std::string& section, const std::string& key, const std::string& value);

    // A value as it is written: CR and LF removed (a line break would start a line of its own, a
    // section or a switch the operator never set), and enclosed in double quotes when the reader
    // would otherwise change it (blanks at either end, a pair of enclosing quotes), so that what
    // reads back is the value itself.
    static std::string ValueText(const std::string& value);

private:
    void Insert(size_t at, std::string line);

    std::vector<std::string> lines_;
    // Each line's own ending as found ("\r\n", "\n", or none for a last line without one), so
    // that writing one value gives back every other byte of the file as it was.
    std::vector<std::string> endings_;
    std::string eol_ = "\n"; // ending of lines we add: the file's first

    bool bom_ = false;
};

// Replaces what a file holds and never leaves it half-written. The file itself stays: a symbolic
// link is followed and stays a link, and the file keeps its mode, owner and group. A missing file
// is created.
bool WriteFileAtomically(const std::string& path, const std::string& bytes);

// Whether this process may write the existing file at `path` (its own access, not the owner's).
bool MayWriteFile(const std::string& path);

} // namespace zem

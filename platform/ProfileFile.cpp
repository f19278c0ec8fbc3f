#include "ProfileFile.h"

#include "Paths.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string_view>

namespace zem {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

constexpr const char* kBlanks = " \t\r";

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(kBlanks);
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(kBlanks);
    return s.substr(b, e - b + 1);
}

bool EnclosedInQuotes(const std::string& v) {
    return v.size() >= 2 &&
           ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\''));
}

bool HasLineBreak(const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
}

bool NameKeepsItsShape(const std::string& name) {
    return !HasLineBreak(name) && Trim(name) == name;
}

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

// "[name]" -> name; anything else -> nullopt.
std::optional<std::string> SectionName(const std::string& line) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    size_t close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

// "key=value" -> key; comments and other lines -> nullopt.
std::optional<std::string> KeyName(const std::string& line) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';') return std::nullopt;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return std::nullopt;
    return Trim(t.substr(0, eq));
}

std::string ValueOf(const std::string& line) {
    std::string v = Trim(line.substr(line.find('=') + 1));
    // The profile reader drops one pair of enclosing quotes.
    if (EnclosedInQuotes(v)) v = v.substr(1, v.size() - 2);
    return v;
}

} // namespace

bool ProfileFile::Load(const std::string& path) {
    // Only a regular file: a FIFO in its place would block the program for good.
    std::FILE* f = OpenRegularFile(path);
    if (!f) {
        Parse({});
        return false;
    }
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    Parse(text);
    return true;
}

void ProfileFile::Parse(const std::string& text) {
    lines_.clear();
    endings_.clear();
    eol_ = std::string("\n"); // a move: GCC 12 warns falsely on assigning a literal here
    // Editors that save UTF-8 may start the file with a byte order mark; it is no part of the
    // first line, and it is written back as it was found.
    bom_ = text.compare(0, kBom.size(), kBom) == 0;
    size_t pos = bom_ ? kBom.size() : 0;
    bool first = true;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        // A plain pointer and moves below: GCC 12 warns falsely on a small string assigned here.
        const char* ending = "";
        size_t end = nl;
        if (nl == std::string::npos) {
            end = text.size();
        } else {
            ending = "\n";
            if (nl > pos && text[nl - 1] == '\r') {
                ending = "\r\n";
                --end;
            }
        }
        if (first && *ending) {
            eol_ = std::string(ending);
            first = false;
        }
        lines_.push_back(text.substr(pos, end - pos));
        endings_.push_back(ending);
        pos = nl == std::string::npos ? text.size() : nl + 1;
    }
}

std::string ProfileFile::Text() const {
    std::string out = bom_ ? std::string(kBom) : std::string();
    for (size_t i = 0; i < lines_.size(); ++i)
        out += lines_[i] + endings_[i];
    return out;
}

void ProfileFile::Insert(size_t at, std::string line) {
    // A last line without an ending gets one before anything follows it.
    if (at > 0 && endings_[at - 1].empty()) endings_[at - 1] = eol_;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
    endings_.insert(endings_.begin() + static_cast<std::ptrdiff_t>(at), eol_);
}

std::optional<std::string> ProfileFile::Get(const std::string& section,
                                            const std::string& key) const {
    bool inSection = false;
    for (const auto& line : lines_) {
        if (auto s = SectionName(line)) {
            inSection = SameText(*s, section);
            continue;
        }
        if (!inSection) continue;
        if (auto k = KeyName(line); k && SameText(*k, key)) return ValueOf(line);
    }
    return std::nullopt;
}

std::string ProfileFile::ValueText(const std::string& value) {
    std::string v;
    v.reserve(value.size() + 2);
    for (char c : value)
        if (c != '\r' && c != '\n') v += c;
    if (Trim(v) != v || EnclosedInQuotes(v)) return '"' + v + '"';
    return v;
}

bool ProfileFile::Set(const std::string& section, const std::string& key,
                      const std::string& value) {
    if (!NameKeepsItsShape(section) || section.find(']') != std::string::npos) return false;
    if (key.empty() || !NameKeepsItsShape(key) || key.find('=') != std::string::npos ||
        key.front() == ';' || key.front() == '[')
        return false;
    const std::string line = key + "=" + ValueText(value);
    bool inSection = false;
    size_t lastInSection = std::string::npos;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (auto s = SectionName(lines_[i])) {
            if (inSection) break; // first matching section only
            inSection = SameText(*s, section);
            if (inSection) lastInSection = i;
            continue;
        }
        if (!inSection) continue;
        if (!Trim(lines_[i]).empty()) lastInSection = i;
        if (auto k = KeyName(lines_[i]); k && SameText(*k, key)) {
            lines_[i] = *k + "=" + ValueText(value);
            return true;
        }
    }
    if (lastInSection == std::string::npos) {
        Insert(lines_.size(), "[" + section + "]");
        Insert(lines_.size(), line);
        return true;
    }
    Insert(lastInSection + 1, line);
    return true;
}

} // namespace zem

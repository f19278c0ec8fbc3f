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

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
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
    if (v.size() >= 2 &&
        ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
        v = v.substr(1, v.size() - 2);
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
    eol_ = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    // Editors that save UTF-8 may start the file with a byte order mark; it is no part of the
    // first line, and it is written back as it was found.
    bom_ = text.compare(0, kBom.size(), kBom) == 0;
    size_t pos = bom_ ? kBom.size() : 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines_.push_back(line);
        pos = nl + 1;
    }
}

std::string ProfileFile::Text() const {
    std::string out = bom_ ? std::string(kBom) : std::string();
    for (const auto& l : lines_)
        out += l + eol_;
    return out;
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

void ProfileFile::Set(const std::string& section, const std::string& key,
                      const std::string& value) {
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
            lines_[i] = *k + "=" + value;
            return;
        }
    }
    if (lastInSection == std::string::npos) {
        lines_.push_back("[" + section + "]");
        lines_.push_back(key + "=" + value);
        return;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(lastInSection) + 1,
                  key + "=" + value);
}

} // namespace zem

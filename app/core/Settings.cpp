#include "Settings.h"

#include "Paths.h"
#include "Profile.h"
#include "ProfileFile.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>

namespace zem {
namespace {

constexpr const char* kSystem = "System";
constexpr const char* kForm = "Form";
constexpr const char* kNetwork = "Network";
constexpr const char* kLine = "Line";

bool IsOn(const std::string& text) {
    return ParseProfileInt(text, 0) != 0;
}

} // namespace

int ParseProfileInt(const std::string& text, int def) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int base = 10;
    if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) {
        base = 16;
        i += 2;
    } else if (i < text.size() && text[i] == '$') {
        base = 16;
        i += 1;
    }
    std::string digits = text.substr(i);
    if (digits.empty()) return def;
    for (char c : digits) {
        bool ok =
            base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
        if (!ok) return def;
    }
    errno = 0;
    long long v = std::strtoll(digits.c_str(), nullptr, base);
    if (errno == ERANGE) return def;
    if (negative) v = -v;
    // Hexadecimal covers the full 32-bit pattern ("$FFFFFFFF" is -1), decimal only the int range.
    if (base == 16 && v > 0x7FFFFFFFLL && v <= 0xFFFFFFFFLL) v -= 0x100000000LL;
    if (v < INT32_MIN || v > INT32_MAX) return def;
    return static_cast<int>(v);
}

Settings LoadSettings(const std::string& file) {
    Settings s;
    s.port = ProfileRead(file, kSystem, "Port", s.port);
    s.speed = ProfileRead(file, kSystem, "Speed", s.speed);
    s.startPath = ProfileRead(file, kSystem, "StartPath", s.startPath);
    s.debug = IsOn(ProfileRead(file, kSystem, "Debug", "0"));
    s.trigProgram = IsOn(ProfileRead(file, kSystem, "TrigProgram", "0"));
    s.top = ParseProfileInt(ProfileRead(file, kForm, "Top", ""), s.top);
    s.left = ParseProfileInt(ProfileRead(file, kForm, "Left", ""), s.left);
    s.trust.caFile = ProfileRead(file, kNetwork, "CAFile", "");
    s.trust.certFile = ProfileRead(file, kNetwork, "CertFile", "");
    s.trust.keyFile = ProfileRead(file, kNetwork, "KeyFile", "");
    s.line.url = ProfileRead(file, kLine, "Url", "");
    s.line.tokenFile = ProfileRead(file, kLine, "TokenFile", "");
    s.line.maxUnsent = ProfileRead(file, kLine, "MaxUnsent", "");
    return s;
}

bool SaveSettings(const std::string& file, const Settings& s) {
    namespace fs = std::filesystem;
    std::error_code ec;
    bool exists = fs::exists(file, ec);
    if (exists) {
        // The writer may replace a file it could not write; refuse that as a profile writer does.
        if (!MayWriteFile(file)) return false;
    }
    ProfileFile ini;
    // A file that exists but cannot be read would otherwise be replaced by our five keys alone.
    if (!ini.Load(file) && exists) return false;
    ini.Set(kSystem, "Port", s.port);
    ini.Set(kSystem, "Speed", s.speed);
    ini.Set(kSystem, "StartPath", s.startPath);
    ini.Set(kForm, "Top", std::to_string(s.top));
    ini.Set(kForm, "Left", std::to_string(s.left));
    return WriteFileAtomically(file, ini.Text());
}

} // namespace zem

namespace zem {

std::string SettingsWriteCause(const std::string& file) {
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec)) return "a folder of that name stands in its place";
    if (std::filesystem::exists(file, ec) && !MayWriteFile(file)) return "the file is read-only";
    std::string dir = std::filesystem::path(file).parent_path().string();
    if (!dir.empty() && !IsFolderWritable(dir)) return "its folder " + dir + " is not writable";
    return {};
}

} // namespace zem

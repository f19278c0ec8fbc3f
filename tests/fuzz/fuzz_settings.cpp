// The settings on an arbitrary "Zem.ini" and arbitrary values to save: the file's text up to the
// first NUL, then the port, the speed and the start path, each ended by a NUL (a missing one keeps
// what was loaded). What is saved loads back, a save never turns a switch on or off, and saving
// the same values twice gives the same file.
#include "FuzzInput.h"
#include "ProfileFile.h"
#include "Settings.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr size_t kReadLimit = 2047; // what the reader returns of a value at most

std::string File() {
    return zem::fuzz::ScratchDir() + "/Zem.ini";
}

void Write(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string Read(const std::string& path) {
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) std::abort();
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

// What a value reads back as: line breaks are removed on writing.
std::string Expected(const std::string& v) {
    std::string out;
    for (char c : v)
        if (c != '\r' && c != '\n') out += c;
    if (out.size() > kReadLimit) out.resize(kReadLimit);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = zem::fuzz::SplitAtNul(data, size, 5);
    (void)zem::ParseProfileInt(parts[0], 7);
    const std::string file = File();
    Write(file, parts[0]);
    const zem::Settings loaded = zem::LoadSettings(file);

    zem::Settings s = loaded;
    if (parts.size() > 1) s.port = parts[1];
    if (parts.size() > 2) s.speed = parts[2];
    if (parts.size() > 3) s.startPath = parts[3];
    s.top = static_cast<int>(size) - 1000;
    if (!zem::SaveSettings(file, s)) __builtin_trap(); // a writable file always saves
    const std::string once = Read(file);
    const zem::Settings back = zem::LoadSettings(file);
    if (back.port != Expected(s.port) || back.speed != Expected(s.speed) ||
        back.startPath != Expected(s.startPath) || back.top != s.top || back.left != s.left)
        __builtin_trap();
    // The switches are the operator's to set by hand.
    if (back.debug != loaded.debug || back.trigProgram != loaded.trigProgram) __builtin_trap();
    // Saving what was loaded changes nothing more (unless the reader cut a value short).
    const bool cut = Expected(s.port) != back.port || s.port.size() > kReadLimit ||
                     s.speed.size() > kReadLimit || s.startPath.size() > kReadLimit;
    if (!zem::SaveSettings(file, back)) __builtin_trap();
    if (!cut && Read(file) != once) __builtin_trap();
    return 0;
}

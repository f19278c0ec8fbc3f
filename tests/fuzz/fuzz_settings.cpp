// The settings loader on an arbitrary "Zem.ini", and its number reader.
#include "Settings.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {
// Never destroyed, so that the clean-up at exit can still read it.
const std::string& SettingsDir() {
    static const std::string* dir = [] {
        char d[] = "/tmp/zem-fuzz-settings-XXXXXX";
        if (!mkdtemp(d)) std::abort();
        auto* s = new std::string(d);
        std::atexit([] { std::filesystem::remove_all(SettingsDir()); });
        return s;
    }();
    return *dir;
}

std::string SettingsFile() {
    return SettingsDir() + "/Zem.ini";
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    (void)zem::ParseProfileInt(text, 7);
    const std::string file = SettingsFile();
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    zem::Settings s = zem::LoadSettings(file);
    // What is saved is what loads next time.
    s.port = "COM3";
    s.top = 250;
    if (zem::SaveSettings(file, s)) {
        zem::Settings back = zem::LoadSettings(file);
        if (back.port != "COM3" || back.top != 250 || back.speed != s.speed || back.left != s.left)
            __builtin_trap();
    }
    return 0;
}

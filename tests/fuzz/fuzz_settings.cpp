// The settings loader on an arbitrary "Zem.ini", and its number reader.
#include "Settings.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {
std::string SettingsFile() {
    static const std::string path = [] {
        char dir[] = "/tmp/zem-fuzz-settings-XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        return std::string(dir) + "/Zem.ini";
    }();
    return path;
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

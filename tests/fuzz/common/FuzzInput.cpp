#include "FuzzInput.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace zem::fuzz {

const std::string& ScratchDir() {
    // Never destroyed, so that the clean-up at exit can still read it.
    static const std::string* dir = [] {
        std::string pattern =
            access("/dev/shm", W_OK) == 0 ? "/dev/shm/zem-fuzz-XXXXXX" : "/tmp/zem-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        auto* s = new std::string(pattern);
        std::atexit([] { std::filesystem::remove_all(ScratchDir()); });
        return s;
    }();
    return *dir;
}

std::string FileReadingShorterThanItsSize() {
    for (const char* path : {"/sys/devices/system/cpu/online", "/sys/kernel/profiling",
                             "/sys/kernel/mm/transparent_hugepage/enabled"}) {
        struct stat st {};
        if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) continue;
        std::FILE* f = std::fopen(path, "rb");
        if (!f) continue;
        char buf[256];
        const size_t n = std::fread(buf, 1, sizeof buf, f);
        std::fclose(f);
        if (n < static_cast<size_t>(st.st_size)) return path;
    }
    return "";
}

} // namespace zem::fuzz

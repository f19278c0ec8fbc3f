#include "FuzzInput.h"

#include <cstdlib>
#include <filesystem>
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

} // namespace zem::fuzz

#include "Uuid.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

namespace zem {

std::string NewUuid() {
    // Seeded once from the system's randomness; the engine itself is shared under a lock.
    static std::mutex mutex;
    static std::mt19937_64 engine = [] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
        return std::mt19937_64(seq);
    }();
    uint64_t hi, lo;
    {
        std::lock_guard lock(mutex);
        hi = engine();
        lo = engine();
    }
    hi = (hi & 0xFFFFFFFFFFFF0FFFull) | 0x0000000000004000ull; // version 4
    lo = (lo & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull; // variant 1
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(hi >> 32),
                  static_cast<unsigned>((hi >> 16) & 0xFFFF), static_cast<unsigned>(hi & 0xFFFF),
                  static_cast<unsigned>(lo >> 48),
                  static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFull));
    return buf;
}

} // namespace zem

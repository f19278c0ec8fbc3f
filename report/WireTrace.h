#pragma once
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>

namespace zem {

// A readable record of the bytes that channels move, kept apart from the trace file: one line
// per piece of at most 16 bytes, with the seconds since the file was opened, the port, the
// direction ("TX" queued for the module, "RX" taken from it), the bytes in hexadecimal and the
// same bytes as text (a dot for anything not printable). Channels on several threads may share
// one; their lines never interleave.
class WireTrace {
public:
    explicit WireTrace(const std::string& path); // created empty
    ~WireTrace();
    WireTrace(const WireTrace&) = delete;
    WireTrace& operator=(const WireTrace&) = delete;

    bool Ok() const { return file_ != nullptr; }
    enum class Direction { kTx, kRx };
    void Record(const std::string& port, Direction direction, const void* data, size_t size);

    static constexpr size_t kBytesPerLine = 16;

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::chrono::steady_clock::time_point start_;
};

} // namespace zem

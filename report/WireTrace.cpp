#include "WireTrace.h"

namespace zem {

WireTrace::WireTrace(const std::string& path)
    : file_(std::fopen(path.c_str(), "wb")), start_(std::chrono::steady_clock::now()) {}

WireTrace::~WireTrace() {
    if (file_) std::fclose(file_);
}

void WireTrace::Record(const std::string& port, Direction direction, const void* data,
                       size_t size) {
    if (!file_ || size == 0 || !data) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const auto* bytes = static_cast<const unsigned char*>(data);
    const char* dir = direction == Direction::kTx ? "TX" : "RX";
    std::lock_guard lock(mutex_);
    for (size_t at = 0; at < size; at += kBytesPerLine) {
        const size_t n = size - at < kBytesPerLine ? size - at : kBytesPerLine;
        char hex[kBytesPerLine * 3 + 1] = {};
        char text[kBytesPerLine + 1] = {};
        for (size_t i = 0; i < kBytesPerLine; ++i) {
            if (i < n) {
                const unsigned char b = bytes[at + i];
                std::snprintf(hex + 3 * i, 4, "%02X ", b);
                text[i] = b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
            } else {
                std::snprintf(hex + 3 * i, 4, "   ");
            }
        }
        std::fprintf(file_, "%12.6f %s %s %s|%s|\n", seconds, port.c_str(), dir, hex, text);
    }
    // Each piece reaches the file at once: a trace is read to find where a run stopped.
    std::fflush(file_);
}

} // namespace zem

#include "ResultsLog.h"

#include "Format.h"
#include "StreamFile.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>

namespace zem {

std::string FileCrc32(const std::string& path) {
    std::vector<uint8_t> data;
    if (!ReadWholeFile(path, data)) return "";
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return Format("%08X", crc ^ 0xFFFFFFFFu);
}

std::string UtcNowIso() {
    using namespace std::chrono;
    auto now = floor<milliseconds>(system_clock::now());
    auto day = floor<days>(now);
    year_month_day ymd{day};
    hh_mm_ss<milliseconds> t{now - day};
    return Format("%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(t.hours().count()), static_cast<int>(t.minutes().count()),
                  static_cast<int>(t.seconds().count()), static_cast<int>(t.subseconds().count()));
}

std::string ResultsLog::OutcomeName(const RunResult& r) {
    switch (r.outcome) {
    case RunEnd::Programmed:
        return "programmed";
    case RunEnd::NotProgrammed:
        return r.aborted ? "aborted" : "not programmed";
    case RunEnd::PathTooLong:
    case RunEnd::StreamMissing:
        return "stream file not found";
    case RunEnd::StreamInvalid:
        return "stream file not valid";
    case RunEnd::PortNotOpened:
        return "port not opened";
    }
    return "";
}

std::string ResultsLog::Line(const RunResult& r, const std::string& nowUtc,
                             const std::string& streamCrc) {
    nlohmann::json j{
        {"time", nowUtc},
        {"port", r.port},
        {"run", r.runNumber},
        {"stream", std::filesystem::path(r.stream).filename().string()},
        {"stream_path", r.stream},
        {"stream_crc32", streamCrc.empty() ? nlohmann::json() : nlohmann::json(streamCrc)},
        {"outcome", OutcomeName(r)},
        {"exit_code", r.exitCode},
        {"status", r.status},
        {"duration_ms", r.elapsedMs},
        {"dumps", r.dumps}};
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool ResultsLog::Writable() const {
    std::FILE* f = std::fopen(path_.c_str(), "ab");
    if (!f) return false;
    return std::fclose(f) == 0;
}

bool ResultsLog::Append(const RunResult& r) {
    std::string line = Line(r, UtcNowIso(), FileCrc32(r.stream)) + "\n";
    std::lock_guard lock(mutex_);
    std::FILE* f = std::fopen(path_.c_str(), "ab");
    if (!f) return false;
    bool ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
    if (std::fclose(f) != 0) ok = false;
    return ok;
}

} // namespace zem

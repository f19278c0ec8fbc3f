#include "ResultsLog.h"

#include "AppendFile.h"
#include "Format.h"
#include "Texts.h"
#include "Uuid.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>

namespace zem {

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

std::string NewUuid() {
    // The system's entropy, with the time and the address of a local folded in, so that a
    // library whose device is not random still gives each start an id of its own.
    std::random_device device;
    uint64_t local = 0;
    std::seed_seq seed{
        device(),
        device(),
        device(),
        device(),
        static_cast<unsigned>(std::chrono::high_resolution_clock::now().time_since_epoch().count()),
        static_cast<unsigned>(reinterpret_cast<uintptr_t>(&local))};
    std::mt19937_64 gen(seed);
    uint64_t hi = gen(), lo = gen();
    hi = (hi & ~uint64_t{0xF000}) | 0x4000;                     // version 4
    lo = (lo & ~(uint64_t{0xC} << 60)) | (uint64_t{0x8} << 60); // RFC 4122 variant
    return Format("%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(hi >> 32),
                  static_cast<unsigned>(hi >> 16 & 0xFFFF), static_cast<unsigned>(hi & 0xFFFF),
                  static_cast<unsigned>(lo >> 48),
                  static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFull));
}

const std::string& ProcessStartId() {
    static const std::string id = NewUuid();
    return id;
}

ResultsLog::ResultsLog(std::string path, std::string host)
    : path_(std::move(path)), host_(std::move(host)), startId_(ProcessStartId()) {}

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

std::string ResultsLog::Line(Event event, const RunResult& r, const std::string& nowUtc,
                             const std::string& host, const std::string& alias,
                             const std::string& startId) {
    auto orNull = [](const std::string& s) {
        return s.empty() ? nlohmann::json() : nlohmann::json(s);
    };
    nlohmann::json j{{"time", nowUtc},
                     {"event", event == Event::kStart ? "start" : "end"},
                     {"host", host},
                     {"version", txt::kVersion},
                     {"port", r.port},
                     {"alias", orNull(alias)},
                     {"speed", r.speed},
                     {"run", r.runNumber},
                     {"stream", std::filesystem::path(r.stream).filename().string()},
                     {"stream_path", r.stream},
                     {"station_start_id", orNull(startId)}};
    if (!r.runId.empty()) j["run_id"] = r.runId;
    if (event == Event::kEnd) {
        j["stream_crc32"] = orNull(r.streamCrc32);
        j["stream_sha256"] = orNull(r.streamSha256);
        j["outcome"] = OutcomeName(r);
        j["exit_code"] = r.exitCode;
        j["status"] = r.status;
        j["duration_ms"] = r.elapsedMs;
        j["dumps"] = r.dumps;
        j["lost"] = orNull(r.lostCause);
        j["cause"] = orNull(WhyNotProgrammed(r));
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool ResultsLog::Writable() const {
    std::string cause;
    return Writable(cause);
}

bool ResultsLog::Writable(std::string& cause) const {
    return AppendAndSync(path_, std::string(), cause);
}

bool ResultsLog::Append(Event event, const RunResult& r, const std::string& alias,
                        std::string& error) {
    std::string line;
    if (event == Event::kEnd && r.runId.empty()) {
        // A run refused before it began has no start line, and so no id yet.
        RunResult named = r;
        named.runId = NewUuid();
        line = Line(event, named, UtcNowIso(), host_, alias, startId_) + "\n";
    } else {
        line = Line(event, r, UtcNowIso(), host_, alias, startId_) + "\n";
    }
    std::string cause;
    std::lock_guard lock(mutex_);
    if (AppendAndSync(path_, line, cause)) return true;
    error = "Unable to write the results log " + path_ + ": " + cause;
    return false;
}

} // namespace zem

#pragma once
#include "Store.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace zem::line {

// The most ports one station may report.
constexpr int kMaxPorts = 256;

// A station's live report (the body of POST /api/v1/state), checked strictly: every port numbered
// 1 to N once, a state word the line knows, a percentage 0 to 100. False with `why` in words.
bool LiveReportFromJson(const nlohmann::json& body, LiveStation& station,
                        std::vector<LivePort>& ports, std::string& why);
bool IsLiveStateWord(const std::string& word);

// "06:00,14:00,22:00": the shifts' start times, local time, as minutes of the day (sorted).
bool ParseShifts(const std::string& text, std::vector<int>& minutes, std::string& error);
// The start of the shift `now` falls in, UTC ISO 8601 (with no shifts: local midnight).
std::string ShiftStart(const std::vector<int>& minutes, std::time_t now);

// Milliseconds since 1970 of a UTC ISO 8601 time ("2026-12-11T05:33:12.123Z"); -1 when it is not
// one.
int64_t IsoMs(const std::string& iso);

// What the line page shows: every station with its ports, its counts since the shift began, and
// whether it is stale (no report for `staleMs`), as of `nowIso`.
nlohmann::json LiveView(const std::vector<LiveStation>& stations,
                        const std::vector<LivePort>& ports, const std::vector<SummaryRow>& shift,
                        const std::string& shiftStart, const std::string& nowIso, int64_t staleMs);

} // namespace zem::line

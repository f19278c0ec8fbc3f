#pragma once
#include "Store.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace zem::line {

// The shapes results take on the wire and on paper, shared by the API and the command line.

// A result a station sends, checked member by member. False with `error` naming the member and
// what is wrong; unknown members are refused, so a typo never loses a field silently.
bool ResultFromJson(const nlohmann::json& j, Result& r, std::string& error);
nlohmann::json ResultToJson(const Result& r);
std::string ResultsCsv(const std::vector<Result>& results);

// Programmed, failed, yield (programmed of all, in percent) and modules per hour.
nlohmann::json SummaryToJson(const std::vector<SummaryRow>& rows, const std::string& by);
std::string SummaryText(const std::vector<SummaryRow>& rows, const std::string& by);

// The job as the service tells it.
nlohmann::json JobToJson(const Job& job);

bool IsUuid(const std::string& s);
bool IsSha256Hex(const std::string& s);

} // namespace zem::line

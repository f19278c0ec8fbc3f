#include "Wire.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <set>
#include <sstream>

namespace zem::line {

using nlohmann::json;

namespace {

constexpr size_t kMaxText = 4096; // any one text member

bool Text(const json& j, const char* key, std::string& out, bool required, std::string& error) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) {
        if (!required) return true;
        error = std::string("member ") + key + " is missing";
        return false;
    }
    if (!it->is_string()) {
        error = std::string("member ") + key + " must be text";
        return false;
    }
    out = it->get<std::string>();
    if (out.size() > kMaxText) {
        error = std::string("member ") + key + " is longer than " + std::to_string(kMaxText);
        return false;
    }
    return true;
}

bool Nullable(const json& j, const char* key, Value& out, std::string& error) {
    std::string s;
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) {
        out.reset();
        return true;
    }
    if (!Text(j, key, s, true, error)) return false;
    out = s;
    return true;
}

bool Integer(const json& j, const char* key, int64_t& out, int64_t min, std::string& error) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_integer()) {
        error = std::string("member ") + key + " must be a whole number";
        return false;
    }
    out = it->get<int64_t>();
    if (out < min) {
        error = std::string("member ") + key + " is below " + std::to_string(min);
        return false;
    }
    return true;
}

// "YYYY-MM-DDThh:mm:ss[.fff]Z": UTC as stations write it, so that text order is time order.
bool IsUtcTime(const std::string& s) {
    if (s.size() < 20 || s.size() > 30 || s.back() != 'Z') return false;
    const char* shape = "dddd-dd-ddTdd:dd:dd";
    for (size_t i = 0; i < 19; ++i) {
        char c = s[i];
        if (shape[i] == 'd' ? !(c >= '0' && c <= '9') : c != shape[i]) return false;
    }
    if (s.size() == 20) return true;
    if (s[19] != '.' || s.size() < 22) return false;
    for (size_t i = 20; i + 1 < s.size(); ++i)
        if (!(s[i] >= '0' && s[i] <= '9')) return false;
    return true;
}

// Milliseconds since the epoch of an ISO 8601 UTC time; 0 when it has not that shape.
int64_t MsOf(const std::string& s) {
    if (!IsUtcTime(s)) return 0;
    using namespace std::chrono;
    int y = std::stoi(s.substr(0, 4));
    unsigned mo = static_cast<unsigned>(std::stoi(s.substr(5, 2)));
    unsigned d = static_cast<unsigned>(std::stoi(s.substr(8, 2)));
    sys_days day = year_month_day{year{y}, month{mo}, std::chrono::day{d}};
    int64_t ms = duration_cast<milliseconds>(day.time_since_epoch()).count();
    ms += (std::stoll(s.substr(11, 2)) * 3600 + std::stoll(s.substr(14, 2)) * 60 +
           std::stoll(s.substr(17, 2))) *
          1000;
    if (s.size() >= 24 && s[19] == '.') ms += std::stoll(s.substr(20, 3));
    return ms;
}

std::string Csv(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

} // namespace

bool IsUuid(const std::string& s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

bool IsSha256Hex(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

bool ResultFromJson(const json& j, Result& r, std::string& error) {
    static const std::set<std::string> known = {
        "result_id", "port",       "alias",       "outcome",     "exit_code",     "status",
        "cause",     "started_at", "finished_at", "duration_ms", "stream_sha256", "stream",
        "speed",     "dumps",      "host",        "version",     "station"};
    if (!j.is_object()) {
        error = "a result must be a JSON object";
        return false;
    }
    for (const auto& [key, value] : j.items()) {
        (void)value;
        if (!known.count(key)) {
            error = "unknown member " + key;
            return false;
        }
    }
    if (!Text(j, "result_id", r.resultId, true, error)) return false;
    if (!IsUuid(r.resultId)) {
        error = "result_id is not a UUID: " + r.resultId.substr(0, 64);
        return false;
    }
    if (!Text(j, "station", r.station, false, error) || !Text(j, "port", r.port, true, error) ||
        !Nullable(j, "alias", r.alias, error) || !Text(j, "outcome", r.outcome, true, error) ||
        !Integer(j, "exit_code", r.exitCode, 0, error) ||
        !Text(j, "status", r.status, true, error) || !Nullable(j, "cause", r.cause, error) ||
        !Nullable(j, "started_at", r.startedAt, error) ||
        !Text(j, "finished_at", r.finishedAt, true, error) ||
        !Integer(j, "duration_ms", r.durationMs, 0, error) ||
        !Nullable(j, "stream_sha256", r.streamSha256, error) ||
        !Text(j, "stream", r.stream, true, error) || !Text(j, "speed", r.speed, true, error) ||
        !Text(j, "host", r.host, true, error) || !Text(j, "version", r.version, true, error))
        return false;
    static const std::set<std::string> outcomes = {
        "programmed",      "not programmed",        "aborted",
        "port not opened", "stream file not valid", "stream file not found"};
    if (!outcomes.count(r.outcome)) {
        error = "outcome is not one a station reports: " + r.outcome.substr(0, 64);
        return false;
    }
    if (!IsUtcTime(r.finishedAt)) {
        error = "finished_at is not a UTC time (YYYY-MM-DDThh:mm:ss.fffZ)";
        return false;
    }
    if (r.startedAt && !IsUtcTime(*r.startedAt)) {
        error = "started_at is not a UTC time (YYYY-MM-DDThh:mm:ss.fffZ)";
        return false;
    }
    if (r.streamSha256 && !IsSha256Hex(*r.streamSha256)) {
        error = "stream_sha256 is not 64 lower-case hexadecimal digits";
        return false;
    }
    auto d = j.find("dumps");
    if (d == j.end() || !d->is_array()) {
        error = "member dumps must be a list of file names";
        return false;
    }
    for (const auto& name : *d)
        if (!name.is_string() || name.get<std::string>().size() > kMaxText) {
            error = "member dumps must be a list of file names";
            return false;
        }
    r.dumps = d->dump();
    return true;
}

json ResultToJson(const Result& r) {
    auto orNull = [](const Value& v) { return v ? json(*v) : json(); };
    json dumps = json::parse(r.dumps, nullptr, false);
    if (dumps.is_discarded()) dumps = json::array();
    return json{{"result_id", r.resultId},
                {"station", r.station},
                {"port", r.port},
                {"alias", orNull(r.alias)},
                {"job", orNull(r.job)},
                {"outcome", r.outcome},
                {"exit_code", r.exitCode},
                {"status", r.status},
                {"cause", orNull(r.cause)},
                {"started_at", orNull(r.startedAt)},
                {"finished_at", r.finishedAt},
                {"duration_ms", r.durationMs},
                {"stream_sha256", orNull(r.streamSha256)},
                {"stream", r.stream},
                {"speed", r.speed},
                {"dumps", dumps},
                {"host", r.host},
                {"version", r.version},
                {"received_at", r.receivedAt}};
}

std::string ResultsCsv(const std::vector<Result>& results) {
    std::ostringstream out;
    out << "result_id,station,port,alias,job,outcome,exit_code,status,cause,started_at,"
           "finished_at,duration_ms,stream_sha256,stream,speed,dumps,host,version,received_at\r\n";
    auto v = [](const Value& x) { return x ? Csv(*x) : std::string(); };
    for (const Result& r : results) {
        json dumps = json::parse(r.dumps, nullptr, false);
        std::string names;
        if (dumps.is_array())
            for (const auto& n : dumps)
                names += (names.empty() ? "" : " ") + n.get<std::string>();
        out << Csv(r.resultId) << ',' << Csv(r.station) << ',' << Csv(r.port) << ',' << v(r.alias)
            << ',' << v(r.job) << ',' << Csv(r.outcome) << ',' << r.exitCode << ',' << Csv(r.status)
            << ',' << v(r.cause) << ',' << v(r.startedAt) << ',' << Csv(r.finishedAt) << ','
            << r.durationMs << ',' << v(r.streamSha256) << ',' << Csv(r.stream) << ','
            << Csv(r.speed) << ',' << Csv(names) << ',' << Csv(r.host) << ',' << Csv(r.version)
            << ',' << Csv(r.receivedAt) << "\r\n";
    }
    return out.str();
}

namespace {
struct Figures {
    int64_t total;
    double yield;   // percent
    double perHour; // modules per hour over the span of their finishing times
};
Figures FiguresOf(const SummaryRow& r) {
    Figures f{r.programmed + r.failed, 0, 0};
    if (f.total > 0) f.yield = 100.0 * static_cast<double>(r.programmed) / f.total;
    // A span shorter than a minute says nothing of a rate; such a group counts as one minute.
    int64_t span = MsOf(r.last) - MsOf(r.first);
    if (span < 60000) span = 60000;
    f.perHour = static_cast<double>(f.total) * 3600000.0 / static_cast<double>(span);
    return f;
}
} // namespace

json SummaryToJson(const std::vector<SummaryRow>& rows, const std::string& by) {
    json out = json::array();
    for (const auto& r : rows) {
        Figures f = FiguresOf(r);
        out.push_back({{by, r.key},
                       {"programmed", r.programmed},
                       {"failed", r.failed},
                       {"yield_percent", f.yield},
                       {"modules_per_hour", f.perHour},
                       {"first", r.first},
                       {"last", r.last}});
    }
    return out;
}

std::string SummaryText(const std::vector<SummaryRow>& rows, const std::string& by) {
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "%-24s %10s %8s %8s %12s\n", by.c_str(), "programmed",
                  "failed", "yield", "modules/h");
    out += line;
    for (const auto& r : rows) {
        Figures f = FiguresOf(r);
        std::snprintf(line, sizeof line, "%-24s %10lld %8lld %7.1f%% %12.1f\n",
                      r.key.empty() ? "(none)" : r.key.c_str(),
                      static_cast<long long>(r.programmed), static_cast<long long>(r.failed),
                      f.yield, f.perHour);
        out += line;
    }
    return out;
}

json JobToJson(const Job& j) {
    return json{{"name", j.name},
                {"stream_sha256", j.streamSha256},
                {"size", j.size},
                {"quantity", j.quantity < 0 ? json() : json(j.quantity)},
                {"released_by", j.releasedBy},
                {"released_at", j.releasedAt},
                {"retired_at", j.retiredAt ? json(*j.retiredAt) : json()},
                {"programmed", j.programmed}};
}

} // namespace zem::line

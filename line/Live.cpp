#include "Live.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>

namespace zem::line {

using nlohmann::json;

namespace {

constexpr size_t kMaxText = 1000; // a cause, a job's name, a port's name

bool Text(const json& o, const char* key, std::string& out, std::string& why, bool required) {
    auto it = o.find(key);
    if (it == o.end()) {
        if (!required) return true;
        why = std::string("member ") + key + " is missing";
        return false;
    }
    if (!it->is_string()) {
        why = std::string("member ") + key + " must be text";
        return false;
    }
    out = it->get<std::string>();
    if (out.size() > kMaxText) {
        why = std::string("member ") + key + " is longer than " + std::to_string(kMaxText);
        return false;
    }
    return true;
}

bool Number(const json& o, const char* key, int64_t lo, int64_t hi, int64_t& out,
            std::string& why) {
    auto it = o.find(key);
    if (it == o.end()) {
        why = std::string("member ") + key + " is missing";
        return false;
    }
    if (!it->is_number_integer() || it->get<int64_t>() < lo || it->get<int64_t>() > hi) {
        why = std::string("member ") + key + " must be a whole number from " + std::to_string(lo) +
              " to " + std::to_string(hi);
        return false;
    }
    out = it->get<int64_t>();
    return true;
}

bool OnlyMembers(const json& o, const std::set<std::string>& known, std::string& why) {
    for (const auto& [key, value] : o.items()) {
        (void)value;
        if (!known.count(key)) {
            why = "unknown member " + key;
            return false;
        }
    }
    return true;
}

std::string UtcIso(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

} // namespace

bool IsLiveStateWord(const std::string& w) {
    static const std::set<std::string> words = {"waiting", "programming", "programmed", "failed",
                                                "aborted", "remove",      "lost",       "done"};
    return words.count(w) > 0;
}

bool LiveReportFromJson(const json& body, LiveStation& st, std::vector<LivePort>& ports,
                        std::string& why) {
    if (!body.is_object()) {
        why = "the body is not a JSON object";
        return false;
    }
    if (!OnlyMembers(body, {"ports", "job", "job_sha256", "backlog", "backlog_since"}, why))
        return false;
    if (!Text(body, "job", st.job, why, false) ||
        !Text(body, "job_sha256", st.jobSha256, why, false) ||
        !Text(body, "backlog_since", st.backlogSince, why, false))
        return false;
    st.backlog = 0;
    if (body.contains("backlog") && !Number(body, "backlog", 0, INT64_MAX / 2, st.backlog, why))
        return false;
    auto list = body.find("ports");
    if (list == body.end() || !list->is_array()) {
        why = "member ports must be a list";
        return false;
    }
    if (list->size() > static_cast<size_t>(kMaxPorts)) {
        why = "more than " + std::to_string(kMaxPorts) + " ports";
        return false;
    }
    const int n = static_cast<int>(list->size());
    ports.assign(list->size(), LivePort{});
    std::vector<bool> seen(list->size() + 1, false);
    for (int i = 0; i < n; ++i) {
        const json& p = (*list)[static_cast<size_t>(i)];
        std::string where = "port entry " + std::to_string(i + 1) + ": ";
        if (!p.is_object()) {
            why = where + "not a JSON object";
            return false;
        }
        if (!OnlyMembers(p,
                         {"port", "name", "state", "percent", "cause", "since", "last_outcome",
                          "last_cause"},
                         why)) {
            why = where + why;
            return false;
        }
        auto num = p.find("port");
        if (num == p.end() || !num->is_number_integer()) {
            why = where + "member port must be a whole number";
            return false;
        }
        int64_t k = num->get<int64_t>();
        if (k < 1 || k > n || seen[static_cast<size_t>(k)]) {
            why = "unknown port " + std::to_string(k) + ": the ports are numbered 1 to " +
                  std::to_string(n) + ", each once";
            return false;
        }
        seen[static_cast<size_t>(k)] = true;
        LivePort& lp = ports[static_cast<size_t>(k - 1)];
        lp.station = st.station;
        lp.port = static_cast<int>(k);
        int64_t percent = 0;
        if (!Text(p, "name", lp.name, why, true) || !Text(p, "state", lp.state, why, true) ||
            !Number(p, "percent", 0, 100, percent, why) ||
            !Text(p, "cause", lp.cause, why, false) || !Text(p, "since", lp.since, why, false)) {
            why = where + why;
            return false;
        }
        if (!IsLiveStateWord(lp.state)) {
            why = where + "unknown state " + lp.state.substr(0, 40) +
                  " (waiting, programming, programmed, failed, aborted, remove, lost, done)";
            return false;
        }
        lp.percent = static_cast<int>(percent);
        std::string lastOutcome, lastCause;
        if (!Text(p, "last_outcome", lastOutcome, why, false) ||
            !Text(p, "last_cause", lastCause, why, false)) {
            why = where + why;
            return false;
        }
        if (!lastOutcome.empty()) {
            if (lastOutcome != "programmed" && lastOutcome != "failed" &&
                lastOutcome != "aborted") {
                why = where + "unknown last outcome " + lastOutcome.substr(0, 40) +
                      " (programmed, failed, aborted, or none)";
                return false;
            }
            lp.lastOutcome = lastOutcome;
            lp.lastCause = lastCause;
        }
    }
    st.ports = n;
    return true;
}

bool ParseShifts(const std::string& text, std::vector<int>& minutes, std::string& error) {
    minutes.clear();
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        std::string part =
            text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        unsigned h = 0, m = 0;
        char extra = 0;
        if (part.size() != 5 || std::sscanf(part.c_str(), "%2u:%2u%c", &h, &m, &extra) != 2 ||
            h > 23 || m > 59) {
            error = "shift start " + part + ": HH:MM, 00:00 to 23:59";
            return false;
        }
        minutes.push_back(static_cast<int>(h * 60 + m));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    std::sort(minutes.begin(), minutes.end());
    minutes.erase(std::unique(minutes.begin(), minutes.end()), minutes.end());
    return true;
}

std::string ShiftStart(const std::vector<int>& minutes, std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    int m = local.tm_hour * 60 + local.tm_min;
    int start = -1;
    for (int s : minutes)
        if (s <= m) start = s;
    std::tm t = local;
    if (minutes.empty()) {
        start = 0;
    } else if (start < 0) { // before the day's first shift: yesterday's last one goes on
        start = minutes.back();
        t.tm_mday -= 1;
    }
    t.tm_hour = start / 60;
    t.tm_min = start % 60;
    t.tm_sec = 0;
    t.tm_isdst = -1;
    return UtcIso(std::mktime(&t));
}

int64_t IsoMs(const std::string& iso) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &y, &mo, &d, &h, &mi, &s, &ms) < 6)
        return -1;
    using namespace std::chrono;
    year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return -1;
    auto tp = sys_days{ymd} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
    return duration_cast<milliseconds>(tp.time_since_epoch()).count();
}

json LiveView(const std::vector<LiveStation>& stations, const std::vector<LivePort>& ports,
              const std::vector<SummaryRow>& shift, const std::string& shiftStart,
              const std::string& nowIso, int64_t staleMs) {
    std::map<std::string, const SummaryRow*> counts;
    for (const SummaryRow& r : shift)
        counts[r.key] = &r;
    std::map<std::string, json> portsOf;
    for (const LivePort& p : ports) {
        auto orNull = [](const Value& v) { return v ? json(*v) : json(); };
        portsOf[p.station].push_back(json{{"port", p.port},
                                          {"name", p.name},
                                          {"state", p.state},
                                          {"percent", p.percent},
                                          {"cause", p.cause},
                                          {"since", p.since},
                                          {"last_outcome", orNull(p.lastOutcome)},
                                          {"last_cause", orNull(p.lastCause)},
                                          {"last_at", orNull(p.lastAt)}});
    }
    int64_t now = IsoMs(nowIso), shiftMs = IsoMs(shiftStart);
    // Modules an hour since the shift began (at least a minute of it, so that the first module
    // does not read as thousands an hour).
    double hours = std::max<double>(static_cast<double>(now - shiftMs), 60000.0) / 3600000.0;
    auto figures = [&](int64_t programmed, int64_t failed) {
        int64_t all = programmed + failed;
        return json{
            {"programmed", programmed},
            {"failed", failed},
            {"yield", all ? json(100.0 * static_cast<double>(programmed) / static_cast<double>(all))
                          : json()},
            {"per_hour", static_cast<double>(all) / hours}};
    };
    json list = json::array();
    int64_t lineProgrammed = 0, lineFailed = 0;
    for (const LiveStation& s : stations) {
        auto c = counts.find(s.station);
        int64_t programmed = c == counts.end() ? 0 : c->second->programmed;
        int64_t failed = c == counts.end() ? 0 : c->second->failed;
        lineProgrammed += programmed;
        lineFailed += failed;
        bool stale = !s.seenAt || now - IsoMs(*s.seenAt) > staleMs;
        json j{{"name", s.station},
               {"seen_at", s.seenAt ? json(*s.seenAt) : json()},
               {"stale", stale},
               {"job", s.job},
               {"job_sha256", s.jobSha256},
               {"backlog", s.backlog},
               {"backlog_since", s.backlogSince},
               {"shift", figures(programmed, failed)}};
        auto p = portsOf.find(s.station);
        j["ports"] = p == portsOf.end() ? json::array() : p->second;
        list.push_back(std::move(j));
    }
    return json{{"now", nowIso},
                {"shift_start", shiftStart},
                {"stale_after_s", staleMs / 1000},
                {"line", figures(lineProgrammed, lineFailed)},
                {"stations", list}};
}

} // namespace zem::line

#include "Service.h"

#include "Live.h"
#include "Tokens.h"
#include "Wire.h"
#include "Www.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace zem::line {

using nlohmann::json;

namespace {

void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n",
                    "application/json");
}

void Refuse(httplib::Response& res, int status, const std::string& reason) {
    Reply(res, status, json{{"error", reason}});
}

std::string Bearer(const httplib::Request& req) {
    std::string h = req.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    if (h.size() <= prefix.size() || h.compare(0, prefix.size(), prefix) != 0) return {};
    return h.substr(prefix.size());
}

// The viewer's token from the cookie the page's login set.
std::string ViewerCookie(const httplib::Request& req) {
    std::string c = req.get_header_value("Cookie");
    const std::string key = "zem_viewer=";
    for (size_t at = 0; at < c.size();) {
        while (at < c.size() && (c[at] == ' ' || c[at] == ';'))
            ++at;
        size_t end = c.find(';', at);
        if (end == std::string::npos) end = c.size();
        if (c.compare(at, key.size(), key) == 0)
            return c.substr(at + key.size(), end - at - key.size());
        at = end;
    }
    return {};
}

int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

struct Service::Impl {
    Store& store;
    ServiceOptions o;
    std::unique_ptr<httplib::Server> server;
    int port = 0;
    std::atomic<bool> stopping{false};
    // Live reports per station in the current second: a flood is refused, not stored.
    std::mutex floodMutex;
    std::map<std::string, std::pair<int64_t, int>> reports;
    // Stations' online state as last told to the events' observer.
    std::thread watcher;
    std::mutex watchMutex;
    std::condition_variable watchWake;

    Impl(Store& s, ServiceOptions opt) : store(s), o(std::move(opt)) {}

    enum class Who { kNone, kStation, kViewer };
    // Who the request's token belongs to; answers the request itself when nobody.
    Who Authenticate(const httplib::Request& req, httplib::Response& res, std::string& name,
                     bool stationAllowed, bool viewerAllowed) {
        std::string token = Bearer(req);
        if (token.empty() && viewerAllowed) token = ViewerCookie(req);
        if (token.empty()) {
            Refuse(res, 401, "no token: send Authorization: Bearer TOKEN");
            return Who::kNone;
        }
        std::string hash = TokenHash(token), error;
        if (stationAllowed) {
            if (!store.StationForToken(hash, name, error)) {
                Refuse(res, 503, "database: " + error);
                return Who::kNone;
            }
            if (!name.empty()) return Who::kStation;
        }
        if (viewerAllowed) {
            if (!store.ViewerForToken(hash, name, error)) {
                Refuse(res, 503, "database: " + error);
                return Who::kNone;
            }
            if (!name.empty()) return Who::kViewer;
        }
        Refuse(res, 401,
               stationAllowed && !viewerAllowed   ? "the token is not a station's of this line"
               : viewerAllowed && !stationAllowed ? "the token is not a viewer's of this line"
                                                  : "the token is not known on this line");
        return Who::kNone;
    }

    static bool Filter(const httplib::Request& req, httplib::Response& res, ResultFilter& f) {
        static const std::set<std::string> known = {"since", "until",  "station", "port", "outcome",
                                                    "job",   "format", "limit",   "by"};
        for (const auto& [key, value] : req.params) {
            (void)value;
            if (!known.count(key)) {
                Refuse(res, 400, "unknown parameter " + key);
                return false;
            }
        }
        f.since = req.get_param_value("since");
        f.until = req.get_param_value("until");
        f.station = req.get_param_value("station");
        f.port = req.get_param_value("port");
        f.outcome = req.get_param_value("outcome");
        f.job = req.get_param_value("job");
        if (req.has_param("limit")) {
            try {
                f.limit = std::stoll(req.get_param_value("limit"));
            } catch (...) {
                f.limit = -1;
            }
            if (f.limit <= 0) {
                Refuse(res, 400, "limit must be a positive whole number");
                return false;
            }
        }
        return true;
    }

    void PostResults(const httplib::Request& req, httplib::Response& res) {
        std::string station;
        if (Authenticate(req, res, station, true, false) == Who::kNone) return;
        json body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object()) {
            Refuse(res, 400, "the body is not a JSON object");
            return;
        }
        for (const auto& [key, value] : body.items()) {
            (void)value;
            if (key != "results") {
                Refuse(res, 400, "unknown member " + key);
                return;
            }
        }
        auto list = body.find("results");
        if (list == body.end() || !list->is_array()) {
            Refuse(res, 400, "member results must be a list");
            return;
        }
        if (list->size() > o.maxBatch) {
            Refuse(res, 413, "more than " + std::to_string(o.maxBatch) + " results in one batch");
            return;
        }
        std::vector<Result> results;
        results.reserve(list->size());
        for (size_t i = 0; i < list->size(); ++i) {
            Result r;
            std::string why;
            if (!ResultFromJson((*list)[i], r, why)) {
                Refuse(res, 400, "result " + std::to_string(i + 1) + ": " + why);
                return;
            }
            if (!r.station.empty() && r.station != station) {
                Refuse(res, 403,
                       "result " + std::to_string(i + 1) + " is for station " + r.station +
                           ", the token is station " + station + "'s");
                return;
            }
            results.push_back(std::move(r));
        }
        size_t added = 0;
        bool conflict = false;
        std::string error;
        std::vector<Result> stored;
        if (!store.AddResults(results, station, added, conflict, error,
                              o.events ? &stored : nullptr)) {
            if (conflict)
                Refuse(res, 409, error);
            else
                Refuse(res, 503, "database: " + error);
            return;
        }
        // Committed: only now may listeners tell anyone, and only of the results that were new.
        if (o.events)
            for (const Result& r : stored)
                o.events->ResultStored(
                    station, ResultToJson(r).dump(-1, ' ', false, json::error_handler_t::replace));
        Reply(res, 200, json{{"stored", added}, {"already_stored", results.size() - added}});
    }

    // A station's live report: its ports' states, its job and its backlog; also its heartbeat.
    void PostState(const httplib::Request& req, httplib::Response& res) {
        std::string station;
        if (Authenticate(req, res, station, true, false) == Who::kNone) return;
        {
            std::lock_guard lock(floodMutex);
            auto& [second, count] = reports[station];
            int64_t now = SteadyMs() / 1000;
            if (second != now) second = now, count = 0;
            if (++count > o.maxReportsPerSecond) {
                Refuse(res, 429,
                       "more than " + std::to_string(o.maxReportsPerSecond) +
                           " live reports a second from station " + station +
                           ": send the latest state only");
                return;
            }
        }
        json body = json::parse(req.body, nullptr, false);
        LiveStation st;
        st.station = station;
        std::vector<LivePort> ports, changed;
        std::string why;
        if (!LiveReportFromJson(body, st, ports, why)) {
            Refuse(res, 400, why);
            return;
        }
        if (!store.PutLiveState(st, ports, changed, why)) {
            Refuse(res, 503, "database: " + why);
            return;
        }
        if (o.events)
            for (const LivePort& p : changed)
                o.events->PortState({station, p.port, p.state, p.percent, p.cause, NowUtc()});
        Reply(res, 200, json{{"changed", changed.size()}});
    }

    // The page's login: a viewer's token, checked, becomes a cookie for this browser session,
    // so that its event stream and CSV downloads (which carry no header of the page's) get in.
    void PostLogin(const httplib::Request& req, httplib::Response& res) {
        std::string who;
        if (Bearer(req).empty()) {
            Refuse(res, 401, "no token: send Authorization: Bearer TOKEN");
            return;
        }
        if (Authenticate(req, res, who, false, true) == Who::kNone) return;
        bool tls = !o.certFile.empty();
        res.set_header("Set-Cookie", "zem_viewer=" + Bearer(req) +
                                         "; Path=/; HttpOnly; SameSite=Strict" +
                                         (tls ? "; Secure" : ""));
        Reply(res, 200, json{{"viewer", who}});
    }

    bool View(json& out, std::string& error) {
        std::vector<LiveStation> stations;
        std::vector<LivePort> ports;
        if (!store.LiveState(stations, ports, error)) return false;
        std::string start = ShiftStart(o.shiftMinutes, std::time(nullptr));
        ResultFilter f;
        f.since = start;
        std::vector<SummaryRow> rows;
        if (!store.Summary("station", f, rows, error)) return false;
        out = LiveView(stations, ports, rows, start, NowUtc(), o.staleMs);
        return true;
    }

    // The line as the page shows it: once as JSON, or as a stream of events, each the whole
    // view, sent when it changed. The stream asks the database's change count every livePollMs
    // and builds the view again at least once a second (stations go stale, results arrive): the
    // service keeps nothing, so any of several behind one address serves any page.
    void GetLive(const httplib::Request& req, httplib::Response& res) {
        std::string who;
        if (Authenticate(req, res, who, false, true) == Who::kNone) return;
        if (req.has_param("once")) {
            json view;
            std::string error;
            if (!View(view, error)) {
                Refuse(res, 503, "database: " + error);
                return;
            }
            Reply(res, 200, view);
            return;
        }
        struct Cursor {
            int64_t count = -1;
            int64_t builtMs = 0, wroteMs = 0;
            std::string last;
        };
        auto cursor = std::make_shared<Cursor>();
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream", [this, cursor](size_t, httplib::DataSink& sink) {
                Cursor& c = *cursor;
                auto write = [&](const std::string& text) {
                    c.wroteMs = SteadyMs();
                    return sink.write(text.data(), text.size());
                };
                if (c.count >= 0) {
                    for (uint32_t slept = 0; slept < o.livePollMs; slept += 50) {
                        if (stopping.load(std::memory_order_acquire)) return false;
                        std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    }
                }
                if (stopping.load(std::memory_order_acquire) || !sink.is_writable()) return false;
                int64_t count = 0;
                std::string error;
                bool ok = store.ChangeCount(count, error);
                int64_t now = SteadyMs();
                if (ok && count == c.count && now - c.builtMs < 1000) {
                    if (now - c.wroteMs >= 10000) return write(": still here\n\n");
                    return true;
                }
                json view;
                if (ok) ok = View(view, error);
                c.builtMs = now;
                if (!ok) {
                    c.count = 0;
                    c.last.clear(); // the page shows the problem until the next view comes
                    return write("event: problem\ndata: " +
                                 json{{"error", "database: " + error}}.dump() + "\n\n");
                }
                c.count = count;
                std::string nowIso = view["now"];
                view.erase("now");
                std::string text = view.dump(-1, ' ', false, json::error_handler_t::replace);
                if (text == c.last) return true;
                c.last = text;
                view["now"] = nowIso;
                return write("data: " + view.dump(-1, ' ', false, json::error_handler_t::replace) +
                             "\n\n");
            });
    }

    // Tells the observer when a station comes online or goes stale.
    void Watch() {
        std::map<std::string, bool> online;
        std::unique_lock lock(watchMutex);
        while (!stopping.load(std::memory_order_acquire)) {
            lock.unlock();
            std::vector<LiveStation> stations;
            std::vector<LivePort> ports;
            std::string error;
            if (store.LiveState(stations, ports, error)) {
                int64_t now = IsoMs(NowUtc());
                for (const LiveStation& s : stations) {
                    if (!s.seenAt) continue;
                    bool on = now - IsoMs(*s.seenAt) <= o.staleMs;
                    auto it = online.find(s.station);
                    if (it != online.end() && it->second == on) continue;
                    online[s.station] = on;
                    o.events->StationOnline(s.station, on, *s.seenAt);
                }
            }
            lock.lock();
            watchWake.wait_for(lock, std::chrono::seconds(1),
                               [&] { return stopping.load(std::memory_order_acquire); });
        }
    }

    void GetResults(const httplib::Request& req, httplib::Response& res) {
        std::string who;
        if (Authenticate(req, res, who, false, true) == Who::kNone) return;
        ResultFilter f;
        if (!Filter(req, res, f)) return;
        std::string format = req.has_param("format") ? req.get_param_value("format") : "json";
        if (format != "json" && format != "csv") {
            Refuse(res, 400, "format must be csv or json");
            return;
        }
        std::vector<Result> results;
        std::string error;
        if (!store.Results(f, results, error)) {
            Refuse(res, 503, "database: " + error);
            return;
        }
        if (format == "csv") {
            res.status = 200;
            res.set_content(ResultsCsv(results), "text/csv");
            return;
        }
        json out = json::array();
        for (const auto& r : results)
            out.push_back(ResultToJson(r));
        Reply(res, 200, out);
    }

    void GetSummary(const httplib::Request& req, httplib::Response& res) {
        std::string who;
        if (Authenticate(req, res, who, false, true) == Who::kNone) return;
        ResultFilter f;
        if (!Filter(req, res, f)) return;
        std::string by = req.has_param("by") ? req.get_param_value("by") : "station";
        std::vector<SummaryRow> rows;
        std::string error;
        if (by != "station" && by != "job" && by != "hour") {
            Refuse(res, 400, "by must be station, job or hour");
            return;
        }
        if (!store.Summary(by, f, rows, error)) {
            Refuse(res, 503, "database: " + error);
            return;
        }
        Reply(res, 200, SummaryToJson(rows, by));
    }

    void GetJobForStream(const httplib::Request& req, httplib::Response& res) {
        std::string who;
        if (Authenticate(req, res, who, true, true) == Who::kNone) return;
        std::string sha = req.matches[1];
        if (!IsSha256Hex(sha)) {
            Refuse(res, 400, "not a SHA-256 in lower-case hexadecimal: " + sha.substr(0, 80));
            return;
        }
        Job job;
        bool found = false;
        std::string error;
        if (!store.JobForStream(sha, job, found, error)) {
            Refuse(res, 503, "database: " + error);
            return;
        }
        if (!found) {
            Refuse(res, 404, "no job is released for this stream");
            return;
        }
        Reply(res, 200, JobToJson(job));
    }

    void GetJobs(const httplib::Request& req, httplib::Response& res) {
        std::string who;
        if (Authenticate(req, res, who, false, true) == Who::kNone) return;
        std::vector<Job> jobs;
        std::string error;
        if (!store.Jobs(jobs, error)) {
            Refuse(res, 503, "database: " + error);
            return;
        }
        json out = json::array();
        for (const auto& j : jobs)
            out.push_back(JobToJson(j));
        Reply(res, 200, out);
    }
};

Service::Service(Store& store, ServiceOptions options)
    : impl_(std::make_unique<Impl>(store, std::move(options))) {}

Service::~Service() {
    Stop();
}

bool Service::Bind(std::string& error) {
    Impl& m = *impl_;
    if (!m.o.certFile.empty() || !m.o.keyFile.empty()) {
        if (m.o.certFile.empty() || m.o.keyFile.empty()) {
            error = "TLS needs both --cert and --key";
            return false;
        }
        auto tls =
            std::make_unique<httplib::SSLServer>(m.o.certFile.c_str(), m.o.keyFile.c_str(),
                                                 m.o.caFile.empty() ? nullptr : m.o.caFile.c_str());
        if (!tls->is_valid()) {
            error = "can not use the certificate " + m.o.certFile + " with the key " + m.o.keyFile +
                    (m.o.caFile.empty() ? "" : " and the CA file " + m.o.caFile);
            return false;
        }
        m.server = std::move(tls);
    } else if (!m.o.caFile.empty()) {
        error = "--ca needs --cert and --key: client certificates are a part of TLS";
        return false;
    } else {
        m.server = std::make_unique<httplib::Server>();
    }
    httplib::Server& s = *m.server;
    size_t threads = m.o.threads;
    s.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    s.set_payload_max_length(m.o.maxBodyBytes);
    s.set_read_timeout(10, 0);
    s.set_write_timeout(10, 0);
    s.set_keep_alive_timeout(30);
    s.Get("/api/v1/health", [](const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, json{{"ok", true}, {"schema", kSchemaVersion}});
    });
    s.Post("/api/v1/results",
           [&m](const httplib::Request& q, httplib::Response& r) { m.PostResults(q, r); });
    s.Get("/api/v1/results",
          [&m](const httplib::Request& q, httplib::Response& r) { m.GetResults(q, r); });
    s.Get("/api/v1/summary",
          [&m](const httplib::Request& q, httplib::Response& r) { m.GetSummary(q, r); });
    s.Post("/api/v1/state",
           [&m](const httplib::Request& q, httplib::Response& r) { m.PostState(q, r); });
    s.Post("/api/v1/login",
           [&m](const httplib::Request& q, httplib::Response& r) { m.PostLogin(q, r); });
    s.Get("/api/v1/live",
          [&m](const httplib::Request& q, httplib::Response& r) { m.GetLive(q, r); });
    // The pages: part of the program, so that nothing is fetched from elsewhere.
    for (const WwwFile& f : WwwFiles()) {
        std::string path = f.path;
        auto serve = [f](const httplib::Request&, httplib::Response& r) {
            r.set_content(reinterpret_cast<const char*>(f.data), f.size, f.type);
            r.set_header("Cache-Control", "no-cache");
        };
        s.Get(path, serve);
        if (path == "/line.html") s.Get("/", serve);
    }
    s.Get("/api/v1/jobs",
          [&m](const httplib::Request& q, httplib::Response& r) { m.GetJobs(q, r); });
    s.Get(R"(/api/v1/jobs/stream/([^/]+))",
          [&m](const httplib::Request& q, httplib::Response& r) { m.GetJobForStream(q, r); });
    // Whatever else is asked gets a reason, not an empty page.
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        std::string reason = res.status == 413   ? "the body is larger than the service takes"
                             : res.status == 404 ? "no such address in this API"
                                                 : "refused";
        Refuse(res, res.status, reason);
    });
    if (m.o.port == 0) {
        m.port = s.bind_to_any_port(m.o.host.c_str());
        if (m.port <= 0) {
            error = "can not listen on " + m.o.host;
            return false;
        }
    } else {
        if (!s.bind_to_port(m.o.host.c_str(), m.o.port)) {
            error = "can not listen on " + m.o.host + ":" + std::to_string(m.o.port) +
                    " (taken, or not this machine's address)";
            return false;
        }
        m.port = m.o.port;
    }
    if (m.o.events && !m.watcher.joinable()) m.watcher = std::thread([&m] { m.Watch(); });
    return true;
}

int Service::BoundPort() const {
    return impl_->port;
}

void Service::Serve() {
    Impl& m = *impl_;
    if (!m.server) return;
    m.server->listen_after_bind();
}

void Service::Stop() {
    Impl& m = *impl_;
    {
        std::lock_guard lock(m.watchMutex);
        m.stopping.store(true, std::memory_order_release);
    }
    m.watchWake.notify_all();
    if (m.server) m.server->stop();
    if (m.watcher.joinable()) m.watcher.join();
}

} // namespace zem::line

#include "Service.h"

#include "Tokens.h"
#include "Wire.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

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

} // namespace

struct Service::Impl {
    Store& store;
    ServiceOptions o;
    std::unique_ptr<httplib::Server> server;
    int port = 0;

    Impl(Store& s, ServiceOptions opt) : store(s), o(std::move(opt)) {}

    enum class Who { kNone, kStation, kViewer };
    // Who the request's token belongs to; answers the request itself when nobody.
    Who Authenticate(const httplib::Request& req, httplib::Response& res, std::string& name,
                     bool stationAllowed, bool viewerAllowed) {
        std::string token = Bearer(req);
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
        static const std::set<std::string> known = {"since", "station", "port",  "outcome",
                                                    "job",   "format",  "limit", "by"};
        for (const auto& [key, value] : req.params) {
            (void)value;
            if (!known.count(key)) {
                Refuse(res, 400, "unknown parameter " + key);
                return false;
            }
        }
        f.since = req.get_param_value("since");
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
    return true;
}

int Service::BoundPort() const {
    return impl_->port;
}

void Service::Serve() {
    if (impl_->server) impl_->server->listen_after_bind();
}

void Service::Stop() {
    if (impl_->server) impl_->server->stop();
}

} // namespace zem::line

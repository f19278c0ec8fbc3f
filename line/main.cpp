// zem-line: the line service and its administration. One database holds everything (stations,
// viewers, jobs, results); the service answers stations and readers over HTTP, and the
// subcommands here work on the same database directly.
#include "Live.h"
#include "MqttPublisher.h"
#include "Service.h"
#include "Store.h"
#include "Tokens.h"
#include "Wire.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "ZemVersion.h"

namespace {

using namespace zem::line;

int Fail(const std::string& text) {
    std::fprintf(stderr, "zem-line: %s\n", text.c_str());
    return 1;
}

std::unique_ptr<Store> OpenStore(std::string db) {
    if (db.empty()) {
        const char* env = std::getenv("ZEM_LINE_DB");
        if (env) db = env;
    }
    if (db.empty()) {
        Fail("which database? --db FILE (SQLite) or --db postgresql://..., or ZEM_LINE_DB");
        return nullptr;
    }
    std::string error;
    auto store = Store::Open(db, error);
    if (!store) Fail(error);
    return store;
}

std::string Who() {
    const char* u = std::getenv("SUDO_USER");
    if (!u || !*u) u = std::getenv("USER");
    if (!u || !*u) u = std::getenv("LOGNAME");
    return u && *u ? u : "unknown";
}

std::string HostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || !buf[0]) return "localhost";
    return buf;
}

int Serve(const std::string& db, ServiceOptions o, MqttOptions mo) {
    // The signals go to sigwait below, not to whichever of the server's threads runs.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    auto store = OpenStore(db);
    if (!store) return 1;
    // Declared before the service: the service's threads tell it of results until they end.
    std::unique_ptr<MqttPublisher> mqtt;
    if (mo.url.empty() &&
        (!mo.caFile.empty() || !mo.user.empty() || !mo.passwordFile.empty() ||
         !mo.clientId.empty() || mo.site != MqttOptions{}.site || mo.line != MqttOptions{}.line))
        return Fail("the --mqtt-... options need --mqtt mqtt://HOST[:PORT]");
    if (!mo.url.empty()) {
        if (mo.clientId.empty())
            mo.clientId = "zem-line-" + HostName() + "-" + std::to_string(o.port);
        mo.log = [](const std::string& text) {
            std::fprintf(stderr, "zem-line: %s\n", text.c_str());
        };
        store->SetOutboxOwner(mo.clientId);
        mqtt = std::make_unique<MqttPublisher>(store.get(), mo);
        o.events = mqtt.get();
    }
    Service service(*store, o);
    std::string error;
    if (!service.Bind(error)) return Fail(error);
    if (mqtt && !mqtt->Start(error)) return Fail(error);
    std::printf("zem-line %s: serving %s on %s://%s:%d\n", ZEM_VERSION, store->Describe().c_str(),
                o.certFile.empty() ? "http" : "https", o.host.c_str(), service.BoundPort());
    std::fflush(stdout);
    std::thread server([&service] { service.Serve(); });
    int sig = 0;
    sigwait(&set, &sig);
    service.Stop();
    server.join();
    if (mqtt) mqtt->Stop();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"zem-line: the results of a line of Zem stations in one database"};
    app.set_version_flag("--version", std::string(ZEM_VERSION));
    app.require_subcommand(1);
    std::string db;
    app.add_option("--db", db,
                   "The database: a SQLite file, or postgresql://USER@HOST:PORT/NAME "
                   "(default: $ZEM_LINE_DB)");

    ServiceOptions so;
    auto* serve = app.add_subcommand("serve", "Answer stations and readers over HTTP");
    serve->add_option("--host", so.host, "Address to listen on (default 127.0.0.1)");
    serve->add_option("--port", so.port, "Port to listen on (default 8470; 0 any free one)")
        ->check(CLI::Range(0, 65535));
    serve->add_option("--cert", so.certFile, "TLS: the service's certificate (PEM)");
    serve->add_option("--key", so.keyFile, "TLS: the certificate's key (PEM)");
    serve->add_option("--ca", so.caFile,
                      "TLS: let in only clients with a certificate this CA signed (PEM)");
    std::string shifts = "06:00,14:00,22:00";
    serve->add_option("--shifts", shifts,
                      "The shifts' start times, local time, that the line page counts from "
                      "(default 06:00,14:00,22:00)");

    MqttOptions mo;
    serve->add_option("--mqtt", mo.url,
                      "Publish results, station and port states to this MQTT broker: "
                      "mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    serve->add_option("--mqtt-ca", mo.caFile,
                      "mqtts: the broker's CA certificate (PEM; default: the system's CAs)");
    serve->add_option("--mqtt-user", mo.user, "MQTT user name");
    serve->add_option("--mqtt-password-file", mo.passwordFile,
                      "A file whose first line is the MQTT password");
    serve->add_option("--mqtt-site", mo.site, "The site's topic level (default plant)");
    serve->add_option("--mqtt-line", mo.line, "The line's topic level (default line)");
    serve->add_option("--mqtt-client-id", mo.clientId,
                      "MQTT client id, fixed for this service (default zem-line-HOST-PORT)");

    auto* station = app.add_subcommand("station", "Stations of the line");
    station->require_subcommand(1);
    std::string name;
    auto* stationAdd = station->add_subcommand("add", "Add a station; prints its token once");
    stationAdd->add_option("NAME", name, "The station's name")->required();
    auto* viewer = app.add_subcommand("viewer", "Readers of the line's results");
    viewer->require_subcommand(1);
    auto* viewerAdd = viewer->add_subcommand("add", "Add a reader; prints its token once");
    viewerAdd->add_option("NAME", name, "The reader's name")->required();

    auto* job = app.add_subcommand("job", "Released jobs: a stream locked by its SHA-256");
    job->require_subcommand(1);
    std::string file, by = Who();
    long long quantity = -1;
    auto* release = job->add_subcommand("release", "Release a stream file as a job");
    release->add_option("FILE", file, "The stream file")->required();
    release->add_option("--name", name, "The job's name")->required();
    release->add_option("--quantity", quantity, "Modules to program, then stop")
        ->check(CLI::PositiveNumber);
    release->add_option("--by", by, "Who releases it (default: the user)");
    auto* retire = job->add_subcommand("retire", "Retire a job: stations refuse its stream");
    retire->add_option("NAME", name, "The job's name")->required();
    auto* list = job->add_subcommand("list", "The jobs, live and retired");

    ResultFilter filter;
    std::string format = "csv";
    auto addFilter = [&](CLI::App* c) {
        c->add_option("--since", filter.since,
                      "Finished at or after this UTC time (2026-12-11T06:00, or a day)");
        c->add_option("--station", filter.station, "Of this station");
        c->add_option("--port", filter.port, "On this port");
        c->add_option("--outcome", filter.outcome, "With this outcome (programmed, ...)");
        c->add_option("--job", filter.job, "Of this job");
    };
    auto* results = app.add_subcommand("results", "The results, oldest first");
    addFilter(results);
    results->add_option("--format", format, "csv or json")->check(CLI::IsMember({"csv", "json"}));
    std::string summaryBy = "station";
    auto* summary = app.add_subcommand("summary", "Programmed, failed, yield, modules per hour");
    addFilter(summary);
    summary->add_option("--by", summaryBy, "station, job or hour")
        ->check(CLI::IsMember({"station", "job", "hour"}));

    CLI11_PARSE(app, argc, argv);

    if (*serve) {
        std::string error;
        if (!ParseShifts(shifts, so.shiftMinutes, error)) return Fail("--shifts: " + error);
        return Serve(db, so, mo);
    }
    auto store = OpenStore(db);
    if (!store) return 1;
    std::string error;
    if (*stationAdd || *viewerAdd) {
        bool isStation = stationAdd->parsed();
        std::string token = NewToken(isStation ? "zs-" : "zv-");
        if (token.empty()) return Fail("no randomness for a token");
        bool ok = isStation ? store->AddStation(name, TokenHash(token), error)
                            : store->AddViewer(name, TokenHash(token), error);
        if (!ok) return Fail(error);
        std::printf("%s\n", token.c_str());
        std::fprintf(stderr,
                     "zem-line: the token of %s %s, shown this once (the line keeps only its "
                     "hash)\n",
                     isStation ? "station" : "viewer", name.c_str());
        return 0;
    }
    if (*release) {
        Job j;
        long long size = 0;
        if (!FileSha256(file, j.streamSha256, size, error)) return Fail(error);
        j.name = name;
        j.size = size;
        j.quantity = quantity;
        j.releasedBy = by;
        if (!store->ReleaseJob(j, error)) return Fail(error);
        std::printf("job %s released: %s (%lld bytes)%s\n", name.c_str(), j.streamSha256.c_str(),
                    size,
                    quantity > 0 ? (", " + std::to_string(quantity) + " modules").c_str() : "");
        return 0;
    }
    if (*retire) {
        if (!store->RetireJob(name, error)) return Fail(error);
        std::printf("job %s retired\n", name.c_str());
        return 0;
    }
    if (*list) {
        std::vector<Job> jobs;
        if (!store->Jobs(jobs, error)) return Fail(error);
        for (const Job& x : jobs)
            std::printf("%-20s %s %10lld bytes  quantity %-8s programmed %-8lld released %s by "
                        "%s%s\n",
                        x.name.c_str(), x.streamSha256.c_str(), static_cast<long long>(x.size),
                        x.quantity < 0 ? "-" : std::to_string(x.quantity).c_str(),
                        static_cast<long long>(x.programmed), x.releasedAt.c_str(),
                        x.releasedBy.c_str(),
                        x.retiredAt ? (", retired " + *x.retiredAt).c_str() : "");
        return 0;
    }
    if (*results) {
        std::vector<Result> rows;
        if (!store->Results(filter, rows, error)) return Fail(error);
        if (format == "csv") {
            std::fputs(ResultsCsv(rows).c_str(), stdout);
        } else {
            nlohmann::json out = nlohmann::json::array();
            for (const auto& r : rows)
                out.push_back(ResultToJson(r));
            std::printf("%s\n", out.dump(1).c_str());
        }
        return 0;
    }
    if (*summary) {
        std::vector<SummaryRow> rows;
        if (!store->Summary(summaryBy, filter, rows, error)) return Fail(error);
        std::fputs(SummaryText(rows, summaryBy).c_str(), stdout);
        return 0;
    }
    return 0;
}

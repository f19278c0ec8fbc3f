// zem-line-bench: a factory's load on one line service. 50 stations (threads) each post a
// realistic batch of results every second to a zem-line process on 127.0.0.1, on SQLite and on
// a PostgreSQL started for the purpose; measured: results stored per second, each request's time
// from its send to the service's answer (the answer comes after the commit), and the service's
// CPU time per 1,000 results.
#include "HttpClient.h"
#include "LineFixtures.h"
#include "Store.h"
#include "Tokens.h"
#include "Uuid.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

using namespace zem::test;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds(pid_t pid) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

json Result(int station, int n) {
    return json{{"result_id", zem::NewUuid()},
                {"port", "/dev/serial/by-id/usb-FTDI_FT4232H_" + std::to_string(station) + "-if0" +
                             std::to_string(n % 4) + "-port0"},
                {"alias", nullptr},
                {"outcome", n % 50 == 0 ? "not programmed" : "programmed"},
                {"exit_code", n % 50 == 0 ? 7 : 0},
                {"status", n % 50 == 0 ? "FPL_Boot timeout" : "Program Complete"},
                {"cause", nullptr},
                {"started_at", "2026-12-11T06:00:00.000Z"},
                {"finished_at", "2026-12-11T06:00:41.500Z"},
                {"duration_ms", 41500},
                {"stream_sha256", std::string(64, 'd')},
                {"stream", "fw-2.1.bin"},
                {"speed", "921600"},
                {"dumps", json::array({"ttyUSB0_Read_" + std::to_string(n) + ".bin"})},
                {"host", "station" + std::to_string(station)},
                {"version", "1.9"}};
}

struct Row {
    std::string db;
    double perSecond = 0, p50 = 0, p99 = 0, cpuPer1000 = 0;
    size_t stored = 0, failed = 0;
};

Row RunOne(const std::string& label, const std::string& db, const std::string& exe,
           const fs::path& dir, int stations, int batch, int seconds) {
    Row row;
    row.db = label;
    std::string error;
    std::vector<std::string> tokens;
    {
        auto store = zem::line::Store::Open(db, error);
        if (!store) {
            std::fprintf(stderr, "zem-line-bench: %s\n", error.c_str());
            return row;
        }
        for (int s = 0; s < stations; ++s) {
            tokens.push_back("zs-bench-" + std::to_string(s));
            store->AddStation("station" + std::to_string(s), zem::line::TokenHash(tokens.back()),
                              error);
        }
    }
    int port = FreePort();
    LineProcess service(exe, db, port, dir / ("service-" + label + ".log"));
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/api/v1/results";
    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<size_t> stored{0}, failed{0};
    double cpuBefore = 0;
    pid_t servicePid = service.Pid();
    cpuBefore = CpuSeconds(servicePid);
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int s = 0; s < stations; ++s) {
        threads.emplace_back([&, s] {
            // Stations start spread over the first second, as a line's do.
            auto next = start + std::chrono::milliseconds(1000 * s / stations);
            for (int k = 0; k < seconds; ++k) {
                std::this_thread::sleep_until(next);
                next += std::chrono::seconds(1);
                json body{{"results", json::array()}};
                for (int i = 0; i < batch; ++i)
                    body["results"].push_back(Result(s, k * batch + i));
                zem::HttpRequest q;
                q.method = "POST";
                q.url = url;
                q.bearer = tokens[static_cast<size_t>(s)];
                q.body = body.dump();
                zem::HttpAnswer a;
                std::string err;
                auto t0 = Clock::now();
                bool ok = zem::HttpExchange(q, a, err) && a.status == 200;
                double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
                if (!ok) {
                    ++failed;
                    continue;
                }
                stored += static_cast<size_t>(batch);
                std::lock_guard lock(mutex);
                latencies.push_back(ms);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = CpuSeconds(servicePid) - cpuBefore;
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) {
        if (latencies.empty()) return 0.0;
        size_t i = std::min(latencies.size() - 1,
                            static_cast<size_t>(p * static_cast<double>(latencies.size())));
        return latencies[i];
    };
    row.stored = stored;
    row.failed = failed;
    row.perSecond = static_cast<double>(stored) / wall;
    row.p50 = pct(0.50);
    row.p99 = pct(0.99);
    row.cpuPer1000 = stored ? cpu * 1000.0 / static_cast<double>(stored) : 0;
    return row;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"zem-line-bench: a factory's load on one line service"};
    std::string build = ZEM_BUILD_DIR;
    int stations = 50, batch = 20, seconds = 20;
    bool sqliteOnly = false;
    app.add_option("--build", build, "Build folder with line/zem-line");
    app.add_option("--stations", stations, "Concurrent stations (default 50)");
    app.add_option("--batch", batch, "Results per station per second (default 20)");
    app.add_option("--seconds", seconds, "Length of the run (default 20)");
    app.add_flag("--sqlite-only", sqliteOnly, "Leave PostgreSQL out");
    CLI11_PARSE(app, argc, argv);
    std::string exe = build + "/line/zem-line";
    char tmpl[] = "/tmp/zem-line-bench-XXXXXX";
    fs::path dir = mkdtemp(tmpl);
    std::vector<Row> rows;
    rows.push_back(
        RunOne("SQLite", (dir / "line.db").string(), exe, dir, stations, batch, seconds));
    std::unique_ptr<PgServer> pg;
    if (!sqliteOnly) {
        if (!PgServer::Present()) {
            std::fprintf(stderr, "zem-line-bench: no PostgreSQL 15; its row is left out\n");
        } else {
            pg = std::make_unique<PgServer>();
            if (pg->Ok())
                rows.push_back(RunOne("PostgreSQL", pg->NewDatabase("bench"), exe, dir, stations,
                                      batch, seconds));
        }
    }
    std::printf("| database | stations | results/s offered | results/s stored | failed requests "
                "| send to commit p50 ms | p99 ms | service CPU s per 1,000 results |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows)
        std::printf("| %s | %d | %d | %.0f | %zu | %.1f | %.1f | %.3f |\n", r.db.c_str(), stations,
                    stations * batch, r.perSecond, r.failed, r.p50, r.p99, r.cpuPer1000);
    pg.reset();
    fs::remove_all(dir);
    return 0;
}

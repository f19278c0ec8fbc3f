// The line's store and API on both databases: schema versions, results kept once under their
// ids, tokens, jobs, and bad input refused with a reason and nothing changed.
#include "HttpClient.h"
#include "LineFixtures.h"
#include "LineStatus.h"
#include "Service.h"
#include "Store.h"
#include "Tokens.h"
#include "Uuid.h"
#include "Wire.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

using namespace zem::line;
using namespace zem::test;
using nlohmann::json;

namespace {

PgServer*& g_pg = SharedPg();
const auto* g_env = ::testing::AddGlobalTestEnvironment(new PgEnvironment);

Result MakeResult(const std::string& id, const std::string& finished = "2026-12-11T06:00:00.000Z",
                  const std::string& outcome = "programmed") {
    Result r;
    r.resultId = id;
    r.port = "/dev/ttyUSB0";
    r.outcome = outcome;
    r.exitCode = outcome == "programmed" ? 0 : 7;
    r.status = outcome == "programmed" ? "Program Complete" : "FPL_Boot timeout";
    r.finishedAt = finished;
    r.durationMs = 4000;
    r.streamSha256 = std::string(64, 'a');
    r.stream = "s.bin";
    r.speed = "921600";
    r.dumps = "[]";
    r.host = "pc7";
    r.version = "1.9";
    return r;
}

class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        FreshDatabase("test-line", GetParam(), dir_, target_);
        if (HasFatalFailure()) return;
        std::string error;
        store_ = Store::Open(target_, error);
        ASSERT_TRUE(store_) << error;
    }
    void TearDown() override {
        store_.reset();
        if (!dir_.empty()) fs::remove_all(dir_);
    }
    size_t Count(const ResultFilter& f = {}) {
        std::vector<Result> rows;
        std::string error;
        EXPECT_TRUE(store_->Results(f, rows, error)) << error;
        return rows.size();
    }

    fs::path dir_;
    std::string target_;
    std::unique_ptr<Store> store_;
};

TEST_P(StoreTest, SchemaIsMadeOnceAndANewerOneIsRefused) {
    std::string error;
    store_.reset();
    auto again = Store::Open(target_, error);
    ASSERT_TRUE(again) << "a second open finds the schema made: " << error;
    again.reset();
    auto db = OpenDb(target_, error);
    ASSERT_TRUE(db) << error;
    ASSERT_TRUE(db->Exec("INSERT INTO schema_version (version) VALUES ($1)",
                         {std::to_string(kSchemaVersion + 1)}, error))
        << error;
    db.reset();
    EXPECT_FALSE(Store::Open(target_, error));
    EXPECT_NE(error.find("schema version " + std::to_string(kSchemaVersion + 1)), std::string::npos)
        << error;
    EXPECT_NE(error.find("newer than this zem-line knows"), std::string::npos) << error;
}

// Two services started at the same moment on a new database: both make or find the schema, and
// it is made once. A fresh database each round, since the race is in its first creation.
TEST_P(StoreTest, TwoServicesStartingAtOnceMakeTheSchemaOnce) {
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        std::string target = GetParam() == "postgresql"
                                 ? g_pg->NewDatabase("t_race_" + std::to_string(round))
                                 : (dir_ / ("race" + std::to_string(round) + ".db")).string();
        std::atomic<int> ready{0};
        std::unique_ptr<Store> stores[2];
        std::string errors[2];
        std::vector<std::thread> services;
        for (int i = 0; i < 2; ++i)
            services.emplace_back([&, i] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                }
                stores[i] = Store::Open(target, errors[i]);
            });
        for (auto& t : services)
            t.join();
        for (int i = 0; i < 2; ++i)
            EXPECT_TRUE(stores[i]) << errors[i];
        std::string error;
        auto db = OpenDb(target, error);
        ASSERT_TRUE(db) << error;
        std::vector<Row> rows;
        ASSERT_TRUE(db->Exec("SELECT version FROM schema_version ORDER BY version", {}, &rows,
                             nullptr, error))
            << error;
        ASSERT_EQ(rows.size(), static_cast<size_t>(kSchemaVersion));
        for (size_t v = 0; v < rows.size(); ++v)
            EXPECT_EQ(rows[v][0], std::to_string(v + 1));
    }
}

TEST_P(StoreTest, AResultSentAgainIsStoredOnceAndAnotherStationsIdIsRefused) {
    std::string error;
    ASSERT_TRUE(store_->AddStation("st1", TokenHash("a"), error)) << error;
    ASSERT_TRUE(store_->AddStation("st2", TokenHash("b"), error)) << error;
    std::vector<Result> batch;
    for (int i = 0; i < 5; ++i)
        batch.push_back(MakeResult(zem::NewUuid()));
    size_t added = 0;
    bool conflict = false;
    ASSERT_TRUE(store_->AddResults(batch, "st1", added, conflict, error)) << error;
    EXPECT_EQ(added, 5u);
    batch.push_back(MakeResult(zem::NewUuid()));
    ASSERT_TRUE(store_->AddResults(batch, "st1", added, conflict, error)) << error;
    EXPECT_EQ(added, 1u) << "only the new one";
    EXPECT_EQ(Count(), 6u);
    // The same result twice in one batch, and more results than one statement carries.
    std::vector<Result> big;
    for (int i = 0; i < 600; ++i)
        big.push_back(MakeResult(zem::NewUuid()));
    big.push_back(big[17]);
    ASSERT_TRUE(store_->AddResults(big, "st1", added, conflict, error)) << error;
    EXPECT_EQ(added, 600u);
    EXPECT_EQ(Count(), 606u);
    // The same ids from another station: refused whole, nothing of that batch stored.
    std::vector<Result> theirs{MakeResult(zem::NewUuid()), batch[0]};
    EXPECT_FALSE(store_->AddResults(theirs, "st2", added, conflict, error));
    EXPECT_TRUE(conflict);
    EXPECT_NE(error.find("belongs to station st1"), std::string::npos) << error;
    EXPECT_EQ(Count(), 606u);
    ResultFilter f;
    f.station = "st2";
    EXPECT_EQ(Count(f), 0u);
}

TEST_P(StoreTest, TextThatLooksLikeSqlIsStoredAsText) {
    std::string error;
    const std::string name = "st'; DROP TABLE result; --";
    ASSERT_TRUE(store_->AddStation(name, TokenHash("t"), error)) << error;
    Result r = MakeResult(zem::NewUuid());
    r.status = "x'); DELETE FROM station; --";
    size_t added = 0;
    bool conflict = false;
    ASSERT_TRUE(store_->AddResults({r}, name, added, conflict, error)) << error;
    std::string who;
    ASSERT_TRUE(store_->StationForToken(TokenHash("t"), who, error)) << error;
    EXPECT_EQ(who, name);
    std::vector<Result> rows;
    ASSERT_TRUE(store_->Results({}, rows, error)) << error;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].status, r.status);
    EXPECT_EQ(rows[0].station, name);
}

TEST_P(StoreTest, JobsLockTheStreamAndCountItsModules) {
    std::string error;
    ASSERT_TRUE(store_->AddStation("st1", TokenHash("a"), error)) << error;
    Job j;
    j.name = "fw-2.1";
    j.streamSha256 = std::string(64, 'a');
    j.size = 1234;
    j.quantity = 10;
    j.releasedBy = "anna";
    ASSERT_TRUE(store_->ReleaseJob(j, error)) << error;
    Job again = j;
    again.name = "fw-2.1-copy";
    EXPECT_FALSE(store_->ReleaseJob(again, error)) << "one live job per stream";
    EXPECT_NE(error.find("released already as job fw-2.1"), std::string::npos) << error;
    size_t added = 0;
    bool conflict = false;
    std::vector<Result> batch{
        MakeResult(zem::NewUuid()), MakeResult(zem::NewUuid()),
        MakeResult(zem::NewUuid(), "2026-12-11T06:00:01.000Z", "not programmed")};
    ASSERT_TRUE(store_->AddResults(batch, "st1", added, conflict, error)) << error;
    Job found;
    bool has = false;
    ASSERT_TRUE(store_->JobForStream(j.streamSha256, found, has, error)) << error;
    ASSERT_TRUE(has);
    EXPECT_EQ(found.name, "fw-2.1");
    EXPECT_EQ(found.programmed, 2) << "programmed results count, failed ones do not";
    EXPECT_EQ(found.quantity, 10);
    EXPECT_FALSE(found.retiredAt);
    ResultFilter f;
    f.job = "fw-2.1";
    EXPECT_EQ(Count(f), 3u) << "results carry the job of their stream";

    ASSERT_TRUE(store_->RetireJob("fw-2.1", error)) << error;
    EXPECT_FALSE(store_->RetireJob("fw-2.1", error));
    ASSERT_TRUE(store_->JobForStream(j.streamSha256, found, has, error)) << error;
    ASSERT_TRUE(has);
    EXPECT_TRUE(found.retiredAt) << "a retired job is still known, as retired";
    ASSERT_TRUE(store_->JobForStream(std::string(64, 'b'), found, has, error)) << error;
    EXPECT_FALSE(has);
}

TEST_P(StoreTest, FiltersAndSummaries) {
    std::string error;
    ASSERT_TRUE(store_->AddStation("st1", TokenHash("a"), error)) << error;
    ASSERT_TRUE(store_->AddStation("st2", TokenHash("b"), error)) << error;
    size_t added = 0;
    bool conflict = false;
    std::vector<Result> one, two;
    for (int i = 0; i < 6; ++i)
        one.push_back(MakeResult(zem::NewUuid(),
                                 "2026-12-11T06:" + std::to_string(10 + i) + ":00.000Z",
                                 i == 5 ? "not programmed" : "programmed"));
    two.push_back(MakeResult(zem::NewUuid(), "2026-12-11T07:30:00.000Z"));
    ASSERT_TRUE(store_->AddResults(one, "st1", added, conflict, error)) << error;
    ASSERT_TRUE(store_->AddResults(two, "st2", added, conflict, error)) << error;
    ResultFilter f;
    f.since = "2026-12-11T07";
    EXPECT_EQ(Count(f), 1u);
    f = {};
    f.outcome = "not programmed";
    EXPECT_EQ(Count(f), 1u);
    std::vector<SummaryRow> rows;
    ASSERT_TRUE(store_->Summary("station", {}, rows, error)) << error;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].key, "st1");
    EXPECT_EQ(rows[0].programmed, 5);
    EXPECT_EQ(rows[0].failed, 1);
    json s = SummaryToJson(rows, "station");
    EXPECT_NEAR(s[0]["yield_percent"].get<double>(), 100.0 * 5 / 6, 0.01);
    EXPECT_NEAR(s[0]["modules_per_hour"].get<double>(), 6 * 60.0 / 5, 0.01)
        << "six modules in five minutes";
    ASSERT_TRUE(store_->Summary("hour", {}, rows, error)) << error;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].key, "2026-12-11T07");
    EXPECT_FALSE(store_->Summary("port; DROP TABLE result", {}, rows, error));
}

// The API of a service in this process, asked over HTTP as a station and a reader would.
TEST_P(StoreTest, TheApiRefusesBadInputWithAReasonAndChangesNothing) {
    std::string error;
    const std::string station = "zs-station-token", viewer = "zv-viewer-token";
    ASSERT_TRUE(store_->AddStation("st1", TokenHash(station), error)) << error;
    ASSERT_TRUE(store_->AddStation("st2", TokenHash("zs-other"), error)) << error;
    ASSERT_TRUE(store_->AddViewer("wall", TokenHash(viewer), error)) << error;
    ServiceOptions o;
    o.port = 0;
    o.maxBodyBytes = 64 * 1024;
    Service service(*store_, o);
    ASSERT_TRUE(service.Bind(error)) << error;
    std::thread serving([&] { service.Serve(); });
    std::string url = "http://127.0.0.1:" + std::to_string(service.BoundPort());

    auto post = [&](const std::string& token, const std::string& body) {
        zem::HttpRequest q;
        q.method = "POST";
        q.url = url + "/api/v1/results";
        q.bearer = token;
        q.body = body;
        zem::HttpAnswer a;
        std::string err;
        EXPECT_TRUE(zem::HttpExchange(q, a, err)) << err;
        return a;
    };
    auto good = [](const std::string& id) {
        json r = SampleResult(id);
        r["dumps"] = json::array({"COM3_Read_1.bin"});
        return r;
    };
    auto with = [&](const std::string& key, const json& value) {
        json r = good(zem::NewUuid());
        r[key] = value;
        return json{{"results", {r}}}.dump();
    };
    auto without = [&](const std::string& key) {
        json r = good(zem::NewUuid());
        r.erase(key);
        return json{{"results", {r}}}.dump();
    };
    struct Case {
        const char* what;
        std::string token, body;
        int status;
        const char* reason;
    };
    const Case cases[] = {
        {"no token", "", with("port", "COM3"), 401, "no token"},
        {"a wrong token", "zs-wrong", with("port", "COM3"), 401, "not a station's"},
        {"a viewer's token", viewer, with("port", "COM3"), 401, "not a station's"},
        {"a body that is not JSON", station, "{\"results\": [", 400, "not a JSON object"},
        {"an unknown member", station, with("colour", "red"), 400, "unknown member colour"},
        {"an unknown envelope member", station, json{{"results", json::array()}, {"x", 1}}.dump(),
         400, "unknown member x"},
        {"a missing member", station, without("finished_at"), 400, "finished_at is missing"},
        {"an id that is no UUID", station, with("result_id", "1 OR 1=1"), 400, "not a UUID"},
        {"a time that is not UTC", station, with("finished_at", "11.12.2026 06:00"), 400,
         "not a UTC time"},
        {"a number as text", station, with("exit_code", "0"), 400, "exit_code"},
        {"an outcome nobody reports", station, with("outcome", "great"), 400, "outcome"},
        {"a result for another station", station, with("station", "st2"), 403, "for station st2"},
        {"a body over the limit", station, with("status", std::string(100000, 'x')), 413,
         "larger than"},
    };
    for (const Case& c : cases) {
        zem::HttpAnswer a = post(c.token, c.body);
        EXPECT_EQ(a.status, c.status) << c.what << ": " << a.body;
        EXPECT_NE(a.body.find(c.reason), std::string::npos) << c.what << ": " << a.body;
    }
    EXPECT_EQ(Count(), 0u) << "nothing of a refused request is stored";

    // A good batch, twice: stored once.
    json batch{{"results", {good(zem::NewUuid()), good(zem::NewUuid())}}};
    zem::HttpAnswer a = post(station, batch.dump());
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(json::parse(a.body)["stored"], 2);
    a = post(station, batch.dump());
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(json::parse(a.body)["stored"], 0);
    EXPECT_EQ(json::parse(a.body)["already_stored"], 2);
    // The same ids under another station's token: refused.
    a = post("zs-other", batch.dump());
    EXPECT_EQ(a.status, 409) << a.body;
    EXPECT_EQ(Count(), 2u);

    // Reading needs a viewer's token, and gives CSV or JSON.
    auto get = [&](const std::string& token, const std::string& path) {
        zem::HttpRequest q;
        q.url = url + path;
        q.bearer = token;
        zem::HttpAnswer ans;
        std::string err;
        EXPECT_TRUE(zem::HttpExchange(q, ans, err)) << err;
        return ans;
    };
    EXPECT_EQ(get(station, "/api/v1/results").status, 401);
    a = get(viewer, "/api/v1/results?station=st1&format=json");
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(json::parse(a.body).size(), 2u);
    a = get(viewer, "/api/v1/results?format=csv&outcome=programmed");
    ASSERT_EQ(a.status, 200);
    EXPECT_EQ(std::count(a.body.begin(), a.body.end(), '\n'), 3) << a.body;
    EXPECT_EQ(get(viewer, "/api/v1/results?colour=red").status, 400);
    a = get(viewer, "/api/v1/summary?by=hour");
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(json::parse(a.body)[0]["programmed"], 2);
    EXPECT_EQ(get(station, "/api/v1/jobs/stream/" + std::string(64, 'c')).status, 404);
    EXPECT_EQ(get(station, "/api/v1/jobs/stream/nothex").status, 400);

    service.Stop();
    serving.join();
}

// What the service's observer hears: each call as a line of text.
class EventLog : public LineEvents {
public:
    void ResultStored(const std::string& station, const std::string& resultJson) override {
        Add("result " + station + " " + json::parse(resultJson)["result_id"].get<std::string>());
    }
    void PortState(const PortStateEvent& e) override {
        Add("port " + e.station + " " + std::to_string(e.port) + " " + e.state + " " +
            std::to_string(e.percent) + " " + e.cause);
    }
    void StationOnline(const std::string& station, bool online, const std::string&) override {
        Add("station " + station + (online ? " online" : " offline"));
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(m);
        return lines;
    }
    bool Has(const std::string& line) {
        auto l = Lines();
        return std::count(l.begin(), l.end(), line) > 0;
    }

private:
    void Add(const std::string& line) {
        std::lock_guard lock(m);
        lines.push_back(line);
    }
    std::mutex m;
    std::vector<std::string> lines;
};

TEST_P(StoreTest, LiveStateIsKeptPerPortAndBadReportsAreRefused) {
    std::string error;
    const std::string station = "zs-station-token", other = "zs-other", viewer = "zv-viewer";
    ASSERT_TRUE(store_->AddStation("st1", TokenHash(station), error)) << error;
    ASSERT_TRUE(store_->AddStation("st2", TokenHash(other), error)) << error;
    ASSERT_TRUE(store_->AddViewer("wall", TokenHash(viewer), error)) << error;
    EventLog events;
    ServiceOptions o;
    o.port = 0;
    o.staleMs = 1500;
    o.events = &events;
    o.maxReportsPerSecond = 50;
    Service service(*store_, o);
    ASSERT_TRUE(service.Bind(error)) << error;
    struct Serving {
        Service& service;
        std::thread thread;
        ~Serving() {
            service.Stop();
            thread.join();
        }
    } serving{service, std::thread([&] { service.Serve(); })};
    std::string url = "http://127.0.0.1:" + std::to_string(service.BoundPort());
    auto exchange = [&](const std::string& method, const std::string& token,
                        const std::string& path, const std::string& body) {
        zem::HttpRequest q;
        q.method = method;
        q.url = url + path;
        q.bearer = token;
        q.body = body;
        zem::HttpAnswer a;
        std::string err;
        EXPECT_TRUE(zem::HttpExchange(q, a, err)) << err;
        return a;
    };
    auto port = [](int n, const std::string& state, int percent = 0, const std::string& cause = "",
                   const std::string& last = "", const std::string& lastCause = "") {
        return json{{"port", n},
                    {"name", "COM" + std::to_string(n)},
                    {"state", state},
                    {"percent", percent},
                    {"cause", cause},
                    {"since", "2026-12-11T06:00:00.000Z"},
                    {"last_outcome", last},
                    {"last_cause", lastCause}};
    };
    auto report = [&](const std::string& token, const json& ports, int64_t backlog = 0) {
        json body{{"ports", ports},
                  {"job", "J1"},
                  {"job_sha256", std::string(64, 'c')},
                  {"backlog", backlog},
                  {"backlog_since", ""}};
        return exchange("POST", token, "/api/v1/state", body.dump());
    };
    auto view = [&] {
        zem::HttpAnswer a = exchange("GET", viewer, "/api/v1/live?once=1", "");
        EXPECT_EQ(a.status, 200) << a.body;
        json v = json::parse(a.body, nullptr, false);
        json st1;
        for (const json& s : v["stations"])
            if (s["name"] == "st1") st1 = s;
        return st1;
    };

    struct Case {
        const char* what;
        std::string token;
        std::string body;
        int status;
        const char* reason;
    };
    json two = {port(1, "waiting"), port(2, "waiting")};
    const Case cases[] = {
        {"a viewer's token", viewer, json{{"ports", two}}.dump(), 401, "not a station's"},
        {"not JSON", station, "{\"ports\": [", 400, "not a JSON object"},
        {"an unknown member", station, json{{"ports", two}, {"mood", 1}}.dump(), 400,
         "unknown member mood"},
        {"a port beyond the list", station,
         json{{"ports", {port(1, "waiting"), port(3, "waiting")}}}.dump(), 400, "unknown port 3"},
        {"port 0", station, json{{"ports", {port(0, "waiting")}}}.dump(), 400, "unknown port 0"},
        {"a port twice", station, json{{"ports", {port(1, "waiting"), port(1, "failed")}}}.dump(),
         400, "unknown port 1"},
        {"a state word nobody sends", station, json{{"ports", {port(1, "melting")}}}.dump(), 400,
         "unknown state melting"},
        {"a last outcome nobody sends", station,
         json{{"ports", {port(1, "waiting", 0, "", "splendid")}}}.dump(), 400,
         "unknown last outcome splendid"},
        {"a percentage over 100", station, json{{"ports", {port(1, "programming", 101)}}}.dump(),
         400, "percent"},
        {"a port's unknown member", station,
         json{{"ports",
               {json{{"port", 1}, {"name", "a"}, {"state", "waiting"}, {"percent", 0}, {"x", 1}}}}}
             .dump(),
         400, "unknown member x"},
    };
    for (const Case& c : cases) {
        zem::HttpAnswer a = exchange("POST", c.token, "/api/v1/state", c.body);
        EXPECT_EQ(a.status, c.status) << c.what << ": " << a.body;
        EXPECT_NE(a.body.find(c.reason), std::string::npos) << c.what << ": " << a.body;
    }
    EXPECT_TRUE(view()["ports"].empty()) << "nothing of a refused report is stored";
    EXPECT_TRUE(view()["stale"].get<bool>()) << "a station that never reported";

    // A failed module's cause stays in its cell while the port waits, and goes when the next
    // module answers.
    ASSERT_EQ(report(station,
                     {port(1, "programming", 40),
                      port(2, "failed", 0, "no answer", "failed", "no answer")},
                     3)
                  .status,
              200);
    json st = view();
    ASSERT_EQ(st["ports"].size(), 2u) << st;
    EXPECT_EQ(st["ports"][0]["state"], "programming");
    EXPECT_EQ(st["ports"][0]["percent"], 40);
    EXPECT_EQ(st["ports"][1]["last_outcome"], "failed");
    EXPECT_EQ(st["ports"][1]["last_cause"], "no answer");
    EXPECT_EQ(st["backlog"], 3);
    EXPECT_FALSE(st["stale"].get<bool>());
    ASSERT_EQ(report(station, {port(1, "programmed", 100, "", "programmed"),
                               port(2, "waiting", 0, "", "failed", "no answer")})
                  .status,
              200);
    st = view();
    EXPECT_EQ(st["ports"][1]["state"], "waiting");
    EXPECT_EQ(st["ports"][1]["last_cause"], "no answer") << "held while the port waits";
    EXPECT_EQ(st["ports"][0]["last_outcome"], "programmed");
    ASSERT_EQ(
        report(station, {port(1, "programmed", 100, "", "programmed"), port(2, "programming", 1)})
            .status,
        200);
    st = view();
    EXPECT_TRUE(st["ports"][1]["last_outcome"].is_null()) << "the next module answered: " << st;
    // A station with fewer ports than before: the others go.
    ASSERT_EQ(report(station, json::array({port(1, "waiting")})).status, 200);
    EXPECT_EQ(view()["ports"].size(), 1u);

    // A flood from one station is refused, and never keeps another station out.
    int refused = 0;
    for (int i = 0; i < 120; ++i)
        if (report(station, json::array({port(1, "programming", i % 100)})).status == 429)
            ++refused;
    EXPECT_GT(refused, 0);
    EXPECT_EQ(report(other, json::array({port(1, "waiting")})).status, 200);
    EXPECT_EQ(exchange("GET", viewer, "/api/v1/live?once=1", "").status, 200);

    // The observer heard the changes, and a stored result once.
    EXPECT_TRUE(events.Has("port st1 2 failed 0 no answer"));
    EXPECT_TRUE(events.Has("port st1 1 programmed 100 "));
    const std::string batch = json{{"results",
                                    {json{{"result_id", "0d6f8a3e-2c1b-4f5e-9a7d-1b2c3d4e5f60"},
                                          {"port", "COM1"},
                                          {"alias", nullptr},
                                          {"outcome", "programmed"},
                                          {"exit_code", 0},
                                          {"status", "Program Complete"},
                                          {"cause", nullptr},
                                          {"started_at", nullptr},
                                          {"finished_at", "2026-12-11T06:00:00.000Z"},
                                          {"duration_ms", 4000},
                                          {"stream_sha256", nullptr},
                                          {"stream", "s.bin"},
                                          {"speed", "921600"},
                                          {"dumps", json::array()},
                                          {"host", "pc7"},
                                          {"version", "1.9"}}}}}
                                  .dump();
    for (int i = 0; i < 2; ++i) {
        zem::HttpAnswer a = exchange("POST", station, "/api/v1/results", batch);
        ASSERT_EQ(a.status, 200) << a.body;
    }
    auto lines = events.Lines();
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "result st1 0d6f8a3e-2c1b-4f5e-9a7d-1b2c3d4e5f60"),
        1);

    // Silent for longer than staleMs: grey on the page, and offline for the observer.
    bool stale = false;
    for (int i = 0; i < 100 && !stale; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stale = view()["stale"].get<bool>();
    }
    EXPECT_TRUE(stale);
    bool offline = false;
    for (int i = 0; i < 100 && !offline; ++i) {
        offline = events.Has("station st1 offline");
        if (!offline) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(offline);
    EXPECT_TRUE(events.Has("station st1 online"));
}

// TLS for the API: a certificate made here; a client that trusts it is let in, one that does not
// is refused, and a key that does not match is refused at start.
TEST(LineTls, TheApiOverTls) {
    fs::path dir = fs::temp_directory_path() / ("zem-line-tls-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::path certs = dir / "certs";
    fs::create_directories(certs);
    auto make = [&](const std::string& name) {
        return Shell("cd '" + certs.string() +
                     "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout " + name +
                     ".key -out " + name +
                     ".pem -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                     ">/dev/null 2>&1");
    };
    ASSERT_EQ(make("server"), 0);
    ASSERT_EQ(make("other"), 0);
    std::string error;
    auto store_ = Store::Open((dir / "line.db").string(), error);
    ASSERT_TRUE(store_) << error;
    ServiceOptions o;
    o.port = 0;
    o.certFile = (certs / "server.pem").string();
    o.keyFile = (certs / "other.key").string();
    {
        Service wrong(*store_, o);
        EXPECT_FALSE(wrong.Bind(error));
        EXPECT_NE(error.find("can not use the certificate"), std::string::npos) << error;
    }
    o.keyFile = (certs / "server.key").string();
    Service service(*store_, o);
    ASSERT_TRUE(service.Bind(error)) << error;
    std::thread serving([&] { service.Serve(); });
    zem::HttpRequest q;
    q.url = "https://127.0.0.1:" + std::to_string(service.BoundPort()) + "/api/v1/health";
    q.caFile = (certs / "server.pem").string();
    zem::HttpAnswer a;
    EXPECT_TRUE(zem::HttpExchange(q, a, error)) << error;
    EXPECT_EQ(a.status, 200) << a.body;
    q.caFile = (certs / "other.pem").string();
    EXPECT_FALSE(zem::HttpExchange(q, a, error)) << "a certificate the client does not trust";
    EXPECT_FALSE(error.empty());
    service.Stop();
    serving.join();
    store_.reset();
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Databases, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

} // namespace

// The station's side of the live state: a burst of changes becomes a few reports carrying the
// latest state, a line that does not answer never holds up the station, and the whole picture
// goes again when the line answers once more.
TEST(LineStatus, CoalescesNeverBlocksAndResendsWhenTheLineIsBack) {
    std::mutex m;
    std::vector<std::string> bodies;
    std::atomic<bool> lineUp{true};
    std::atomic<int> hangMs{0};
    zem::HttpFunction http = [&](const zem::HttpRequest& q, zem::HttpAnswer& a, std::string& e) {
        if (int h = hangMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(h));
        if (!lineUp.load()) {
            e = "connection refused";
            return false;
        }
        EXPECT_EQ(q.url, "http://line:8470/api/v1/state");
        EXPECT_EQ(q.bearer, "zs-t");
        std::lock_guard lock(m);
        bodies.push_back(q.body);
        a.status = 200;
        return true;
    };
    auto count = [&] {
        std::lock_guard lock(m);
        return bodies.size();
    };
    auto last = [&] {
        std::lock_guard lock(m);
        return bodies.empty() ? json() : json::parse(bodies.back());
    };
    zem::LineStatus::Options o;
    o.link.url = "http://line:8470/";
    o.link.token = "zs-t";
    o.ports = {"COM3", "COM4"};
    o.job = "J1";
    o.heartbeatMs = 300;
    o.backlog = [] { return zem::LineBacklog{4, 0, "2026-12-11T06:00:00.000Z"}; };
    zem::LineStatus status(o, http);
    status.Start();

    // 1000 changes in about a second: at most 5 reports a second, the last with the last state.
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i <= 1000; ++i) {
        status.PortState(0, "programming", i / 10, "");
        std::this_thread::sleep_for(std::chrono::microseconds(1000));
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(count(), static_cast<size_t>(5 * (seconds + 0.5) + 3)) << seconds << " s";
    json j = last();
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["ports"][0]["percent"], 100);
    EXPECT_EQ(j["ports"][1]["name"], "COM4");
    EXPECT_EQ(j["ports"][1]["port"], 2);
    EXPECT_EQ(j["job"], "J1");
    EXPECT_EQ(j["backlog"], 4);

    // Heartbeats with nothing new.
    size_t before = count();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_GE(count(), before + 2);

    // A line that hangs: recording a state does not wait for it.
    hangMs = 2000;
    std::this_thread::sleep_for(std::chrono::milliseconds(400)); // a report is under way
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i)
        status.PortState(1, "programming", i % 100, "");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
    hangMs = 0;

    // The line goes away; what changed meanwhile arrives, all of it, when it is back.
    lineUp = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    status.PortState(1, "failed", 0, "no answer from the module");
    status.PortState(0, "lost", 0, "the port went away");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    before = count();
    lineUp = true;
    for (int i = 0; i < 100 && count() == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_GT(count(), before);
    j = last();
    EXPECT_EQ(j["ports"][0]["state"], "lost");
    EXPECT_EQ(j["ports"][0]["cause"], "the port went away");
    EXPECT_EQ(j["ports"][1]["state"], "failed");
    EXPECT_EQ(j["ports"][1]["cause"], "no answer from the module");
    status.Stop();

    // A station whose ports end at once (a port that does not open) still tells the line so,
    // when it stops before its first report went.
    {
        std::lock_guard lock(m);
        bodies.clear();
    }
    zem::LineStatus quick(o, http);
    quick.Start();
    quick.PortState(0, "done", 0, "Port COM3 not opened");
    quick.Stop();
    j = last();
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["ports"][0]["state"], "done");
    EXPECT_EQ(j["ports"][0]["cause"], "Port COM3 not opened");
}

// The line published to a real mosquitto broker: every stored result seen once by a subscriber,
// retained station and port states, stations and the service going offline, and no result lost
// when the broker restarts mid-shift (with the service alive, and with the service killed while
// the broker was away), on SQLite and on PostgreSQL.
#include "HttpClient.h"
#include "MqttFixtures.h"
#include "MqttPublisher.h"
#include "Store.h"
#include "Tokens.h"
#include "Uuid.h"
#include "Wire.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <set>

using namespace zem::test;
using nlohmann::json;
using zem::line::MqttOptions;
using zem::line::MqttPublisher;
using Msgs = std::vector<Subscriber::Message>;

namespace {

PgServer*& g_pg = SharedPg();
const auto* g_env = ::testing::AddGlobalTestEnvironment(new PgEnvironment);

std::string Bin(const std::string& rel) {
    const char* b = std::getenv("ZEM_BINARY_DIR");
    return std::string(b ? b : ".") + "/" + rel;
}

const std::string kToken = "zs-mqtt-test-station-token";
const std::string kClient = "zem-line-test-a";
const std::string kPrefix = "zem/v1/s1/l1/";

// How many times each result id was published, and the payloads by id.
std::map<std::string, int> ResultCounts(const Msgs& msgs,
                                        std::map<std::string, json>* last = nullptr) {
    std::map<std::string, int> n;
    for (const auto& m : msgs) {
        if (m.topic != kPrefix + "st1/result") continue;
        json j = json::parse(m.payload, nullptr, false);
        if (!j.is_object()) continue;
        std::string id = j.value("result_id", "");
        ++n[id];
        if (last) (*last)[id] = j;
    }
    return n;
}

bool HasAll(const Msgs& msgs, const std::vector<std::string>& ids) {
    auto n = ResultCounts(msgs);
    for (const auto& id : ids)
        if (!n.count(id)) return false;
    return true;
}

// The newest message of a topic, parsed; an empty object when none.
json Latest(const Msgs& msgs, const std::string& topic, bool* retained = nullptr) {
    for (auto it = msgs.rbegin(); it != msgs.rend(); ++it)
        if (it->topic == topic) {
            if (retained) *retained = it->retained;
            json j = json::parse(it->payload, nullptr, false);
            return j.is_object() ? j : json::object();
        }
    return json::object();
}

class LineMqtt : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (!Broker::Present())
            FAIL() << "mosquitto is not installed (/usr/sbin/mosquitto): scripts/install-deps "
                      "installs it (make test runs it)";
        FreshDatabase("mqtt-line", GetParam(), dir_, db_);
        if (HasFatalFailure()) return;
        std::string error;
        store_ = zem::line::Store::Open(db_, error);
        ASSERT_TRUE(store_) << error;
        ASSERT_TRUE(store_->AddStation("st1", zem::line::TokenHash(kToken), error)) << error;
        port_ = FreePort();
        broker_ = std::make_unique<Broker>();
        ASSERT_TRUE(CanConnect(broker_->Port())) << broker_->Log();
    }
    void TearDown() override {
        service_.reset();
        broker_.reset();
        store_.reset();
        fs::remove_all(dir_);
    }

    void StartService() {
        service_ = std::make_unique<Process>(
            std::vector<std::string>{Bin("line/zem-line"), "--db", db_, "serve", "--port",
                                     std::to_string(port_), "--mqtt", broker_->Url(), "--mqtt-site",
                                     "s1", "--mqtt-line", "l1", "--mqtt-client-id", kClient},
            dir_ / "service.log");
        for (int i = 0; i < 400 && !CanConnect(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        ASSERT_TRUE(CanConnect(port_)) << ReadFile(dir_ / "service.log");
    }

    // Posts these results as one batch; the ids that were new are added to `ids_`.
    void Post(const std::vector<std::string>& ids) {
        json list = json::array();
        for (const auto& id : ids)
            list.push_back(SampleResult(id));
        zem::HttpRequest q;
        q.method = "POST";
        q.url = "http://127.0.0.1:" + std::to_string(port_) + "/api/v1/results";
        q.bearer = kToken;
        q.body = json{{"results", list}}.dump();
        q.timeoutMs = 30000;
        zem::HttpAnswer a;
        std::string err;
        ASSERT_TRUE(zem::HttpExchange(q, a, err)) << err;
        ASSERT_EQ(a.status, 200) << a.body;
        for (const auto& id : ids)
            if (std::find(ids_.begin(), ids_.end(), id) == ids_.end()) ids_.push_back(id);
    }
    void PostNew(int n) {
        std::vector<std::string> ids;
        for (int i = 0; i < n; ++i)
            ids.push_back(zem::NewUuid());
        Post(ids);
    }

    // Results of this service still waiting for the broker's acknowledgement.
    size_t Outbox() {
        std::vector<zem::line::Result> left;
        std::string error;
        EXPECT_TRUE(store_->OutboxPending(kClient, "9999", 100000, left, error)) << error;
        return left.size();
    }
    bool WaitOutboxEmpty(int seconds) {
        for (int i = 0; i < seconds * 10; ++i) {
            if (Outbox() == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    fs::path dir_;
    std::string db_;
    int port_ = 0;
    std::unique_ptr<zem::line::Store> store_;
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<Process> service_;
    std::vector<std::string> ids_;
};

TEST_P(LineMqtt, EachStoredResultOnceRetainedStatusAndTheServicesWill) {
    Subscriber sub(broker_->Port(), "watcher-" + GetParam(), false);
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_TRUE(sub.WaitFor(
        [](const Msgs& m) {
            return Latest(m, kPrefix + "service/" + kClient + "/status").value("online", false);
        },
        30))
        << ReadFile(dir_ / "service.log");

    for (int b = 0; b < 5; ++b)
        ASSERT_NO_FATAL_FAILURE(PostNew(20));
    // Sent again by a station that missed the answer, and a duplicate inside one batch: stored
    // once, so published once.
    std::vector<std::string> again(ids_.begin(), ids_.begin() + 20);
    ASSERT_NO_FATAL_FAILURE(Post(again));
    std::string id = zem::NewUuid();
    ASSERT_NO_FATAL_FAILURE(Post({id, id, zem::NewUuid()}));
    ASSERT_EQ(ids_.size(), 102u);

    ASSERT_TRUE(sub.WaitFor([&](const Msgs& m) { return HasAll(m, ids_); }, 60))
        << ReadFile(dir_ / "service.log");
    // Every one acknowledged: nothing is left to be sent again, so what the subscriber has now
    // is all it will get.
    ASSERT_TRUE(WaitOutboxEmpty(60));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::map<std::string, json> payload;
    auto counts = ResultCounts(sub.Messages(), &payload);
    EXPECT_EQ(counts.size(), ids_.size());
    for (const auto& [rid, n] : counts)
        EXPECT_EQ(n, 1) << "result " << rid << " published " << n << " times";
    const json& p = payload[ids_[0]];
    EXPECT_EQ(p["station"], "st1");
    EXPECT_EQ(p["outcome"], "programmed");
    EXPECT_EQ(p["finished_at"], "2026-12-11T06:00:00.000Z");
    EXPECT_TRUE(p["received_at"].is_string() && !p["received_at"].get<std::string>().empty());

    // A newcomer is told at once what is retained: the station online, the service online.
    Subscriber late(broker_->Port(), "late-" + GetParam(), false);
    ASSERT_TRUE(late.WaitFor(
        [](const Msgs& m) {
            return !Latest(m, kPrefix + "st1/status").empty() &&
                   !Latest(m, kPrefix + "service/" + kClient + "/status").empty();
        },
        30));
    bool retained = false;
    json st = Latest(late.Messages(), kPrefix + "st1/status", &retained);
    EXPECT_TRUE(retained);
    EXPECT_EQ(st["online"], true) << st.dump();
    EXPECT_TRUE(st["last_seen"].is_string()) << st.dump();
    EXPECT_TRUE(Latest(late.Messages(), kPrefix + "service/" + kClient + "/status", &retained)
                    .value("online", false));
    EXPECT_TRUE(retained);

    // Killed: no goodbye of its own, the broker tells its will.
    service_->Kill(SIGKILL);
    ASSERT_TRUE(sub.WaitFor(
        [](const Msgs& m) {
            json s = Latest(m, kPrefix + "service/" + kClient + "/status");
            return s.value("online", true) == false;
        },
        30))
        << broker_->Log();
}

TEST_P(LineMqtt, ABrokerRestartedMidShiftLosesNoResult) {
    // The plant's consumer keeps its session, as one that must not miss a result does.
    Subscriber sub(broker_->Port(), "mes-" + GetParam(), true);
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_NO_FATAL_FAILURE(PostNew(30));
    ASSERT_TRUE(sub.WaitFor([&](const Msgs& m) { return HasAll(m, ids_); }, 60));

    // The broker away while the line goes on: results are stored as fast as ever.
    broker_->Stop();
    auto t0 = std::chrono::steady_clock::now();
    for (int b = 0; b < 3; ++b)
        ASSERT_NO_FATAL_FAILURE(PostNew(10));
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    std::printf("3 batches stored with the broker away in %lld ms\n", static_cast<long long>(ms));
    EXPECT_GE(Outbox(), 30u);
    ASSERT_TRUE(broker_->Start()) << broker_->Log();
    ASSERT_TRUE(sub.WaitFor([&](const Msgs& m) { return HasAll(m, ids_); }, 90))
        << ReadFile(dir_ / "service.log");
    ASSERT_TRUE(WaitOutboxEmpty(60));

    // Away again, and this time the service dies before the broker is back; it comes back
    // first, with the broker still away, and still takes results.
    broker_->Stop();
    ASSERT_NO_FATAL_FAILURE(PostNew(20));
    service_->Kill(SIGKILL);
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_NO_FATAL_FAILURE(PostNew(10));
    EXPECT_EQ(Outbox(), 30u);
    ASSERT_TRUE(broker_->Start()) << broker_->Log();
    ASSERT_TRUE(sub.WaitFor([&](const Msgs& m) { return HasAll(m, ids_); }, 90))
        << ReadFile(dir_ / "service.log");
    ASSERT_TRUE(WaitOutboxEmpty(60));
    auto counts = ResultCounts(sub.Messages());
    EXPECT_EQ(counts.size(), ids_.size());
    size_t dup = 0;
    for (const auto& [rid, n] : counts)
        dup += static_cast<size_t>(n - 1);
    std::printf("%zu results, %zu published again after the restarts (dropped by result_id)\n",
                ids_.size(), dup);
}

INSTANTIATE_TEST_SUITE_P(Db, LineMqtt, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

// The publisher alone, fed as the service feeds it.
class MqttPublisherTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Broker::Present()) FAIL() << "mosquitto is not installed (/usr/sbin/mosquitto)";
        broker_ = std::make_unique<Broker>();
        ASSERT_TRUE(CanConnect(broker_->Port())) << broker_->Log();
    }
    MqttOptions Options() {
        MqttOptions o;
        o.url = broker_->Url();
        o.site = "s1";
        o.line = "l1";
        o.clientId = "publisher-test";
        return o;
    }
    std::unique_ptr<Broker> broker_;
};

TEST_F(MqttPublisherTest, PortStatesAtMostOneASecondLatestWinsAndStationsGoStale) {
    Subscriber sub(broker_->Port(), "watcher", false);
    MqttOptions o = Options();
    o.staleAfter = std::chrono::milliseconds(1500);
    MqttPublisher pub(nullptr, o);
    std::string error;
    ASSERT_TRUE(pub.Start(error)) << error;
    for (int i = 0; i < 300 && !pub.Connected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(pub.Connected());

    // A flood of changes on port 1 over half a second, one change on port 2.
    const std::string topic1 = kPrefix + "st1/port/1/state";
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i <= 49; ++i) {
        pub.PortState({"st1", 1, "programming", i * 2, "", zem::line::NowUtc()});
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pub.PortState({"st1", 1, "failed", 98, "FPL_Boot timeout", zem::line::NowUtc()});
    pub.PortState({"st1", 2, "waiting", 0, "", zem::line::NowUtc()});
    ASSERT_TRUE(sub.WaitFor(
        [&](const Msgs& m) {
            return Latest(m, topic1).value("state", "") == "failed" &&
                   !Latest(m, kPrefix + "st1/port/2/state").empty();
        },
        30));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    int n = 0;
    for (const auto& m : sub.Messages())
        n += m.topic == topic1;
    // One at once, then at most one for each second that passed: never the flood.
    EXPECT_GE(n, 1);
    EXPECT_LE(n, static_cast<int>(seconds) + 2) << "in " << seconds << " s";
    json last = Latest(sub.Messages(), topic1);
    EXPECT_EQ(last["percent"], 98);
    EXPECT_EQ(last["cause"], "FPL_Boot timeout");
    EXPECT_EQ(last["port"], 1);
    {
        Subscriber late(broker_->Port(), "late", false);
        ASSERT_TRUE(late.WaitFor([&](const Msgs& m) { return !Latest(m, topic1).empty(); }, 30));
        bool retained = false;
        EXPECT_EQ(Latest(late.Messages(), topic1, &retained)["state"], "failed");
        EXPECT_TRUE(retained);
    }

    // A station known by its results alone goes offline when they stop; one whose presence is
    // told by the live states stays as told.
    pub.ResultStored("stA", SampleResult(zem::NewUuid()).dump());
    pub.StationOnline("stB", true, zem::line::NowUtc());
    ASSERT_TRUE(sub.WaitFor(
        [&](const Msgs& m) {
            return Latest(m, kPrefix + "stA/status").value("online", false) &&
                   Latest(m, kPrefix + "stB/status").value("online", false);
        },
        30));
    ASSERT_TRUE(sub.WaitFor(
        [&](const Msgs& m) {
            json s = Latest(m, kPrefix + "stA/status");
            return !s.value("online", true);
        },
        30));
    json a = Latest(sub.Messages(), kPrefix + "stA/status");
    EXPECT_TRUE(a["last_seen"].is_string()) << a.dump();
    EXPECT_EQ(Latest(sub.Messages(), kPrefix + "stB/status")["online"], true);
    pub.StationOnline("stB", false, "2026-12-11T06:00:00.000Z");
    ASSERT_TRUE(sub.WaitFor(
        [&](const Msgs& m) {
            json s = Latest(m, kPrefix + "stB/status");
            return !s.value("online", true);
        },
        30));
    EXPECT_EQ(Latest(sub.Messages(), kPrefix + "stB/status")["last_seen"],
              "2026-12-11T06:00:00.000Z");

    // Stopped in order: it says so itself, retained.
    pub.Stop();
    ASSERT_TRUE(sub.WaitFor(
        [&](const Msgs& m) {
            json s = Latest(m, kPrefix + "service/publisher-test/status");
            return s.value("cause", "") == "stopped";
        },
        30));
}

// More results at once than the memory queue holds: the overflow waits in the database's outbox
// and is sent from there, each once.
TEST_F(MqttPublisherTest, AQueueOverflowIsSentFromTheOutboxEachOnce) {
    fs::path dir = fs::temp_directory_path() / ("zem-mqtt-overflow-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string error;
    auto store = zem::line::Store::Open((dir / "line.db").string(), error);
    ASSERT_TRUE(store) << error;
    Subscriber sub(broker_->Port(), "watcher", false);
    MqttOptions o = Options();
    o.queueLimit = 10;
    o.maxUnacked = 5;
    o.resendAfter = std::chrono::milliseconds(300);
    o.sweepEvery = std::chrono::milliseconds(300);
    store->SetOutboxOwner(o.clientId);
    MqttPublisher pub(store.get(), o);
    ASSERT_TRUE(pub.Start(error)) << error;

    std::vector<zem::line::Result> batch, stored;
    std::vector<std::string> ids;
    for (int i = 0; i < 200; ++i) {
        std::string id = zem::NewUuid();
        ids.push_back(id);
        zem::line::Result r;
        ASSERT_TRUE(zem::line::ResultFromJson(SampleResult(id), r, error)) << error;
        batch.push_back(r);
    }
    size_t added = 0;
    bool conflict = false;
    ASSERT_TRUE(store->AddResults(batch, "st1", added, conflict, error, &stored)) << error;
    ASSERT_EQ(stored.size(), 200u);
    for (const auto& r : stored)
        pub.ResultStored("st1", zem::line::ResultToJson(r).dump());
    ASSERT_TRUE(sub.WaitFor([&](const Msgs& m) { return HasAll(m, ids); }, 60));
    std::vector<zem::line::Result> left;
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(store->OutboxPending(o.clientId, "9999", 1000, left, error)) << error;
        if (left.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(left.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // a sweep or three later
    auto counts = ResultCounts(sub.Messages());
    EXPECT_EQ(counts.size(), 200u);
    for (const auto& [rid, n] : counts)
        EXPECT_EQ(n, 1) << "result " << rid << " published " << n << " times";
    pub.Stop();
    store.reset();
    fs::remove_all(dir);
}

TEST_F(MqttPublisherTest, BadOptionsAreRefusedWithTheirCause) {
    fs::path missing = fs::temp_directory_path() / "zem-no-such-password-file";
    struct Case {
        const char* what;
        std::function<void(MqttOptions&)> change;
        const char* reason;
    };
    const Case cases[] = {
        {"not an MQTT address", [](MqttOptions& o) { o.url = "http://127.0.0.1:1883"; },
         "is not mqtt://HOST[:PORT]"},
        {"no host", [](MqttOptions& o) { o.url = "mqtt://:1883"; }, "no broker host"},
        {"port 0", [](MqttOptions& o) { o.url = "mqtt://127.0.0.1:0"; }, "from 1 to 65535"},
        {"port too large", [](MqttOptions& o) { o.url = "mqtt://127.0.0.1:70000"; },
         "from 1 to 65535"},
        {"port not a number", [](MqttOptions& o) { o.url = "mqtt://127.0.0.1:x"; },
         "from 1 to 65535"},
        {"a site level with a slash", [](MqttOptions& o) { o.site = "a/b"; }, "topic levels"},
        {"a wildcard line", [](MqttOptions& o) { o.line = "#"; }, "topic levels"},
        {"a password without a user", [&](MqttOptions& o) { o.passwordFile = missing.string(); },
         "needs --mqtt-user"},
        {"an unreadable password file",
         [&](MqttOptions& o) {
             o.user = "u";
             o.passwordFile = missing.string();
         },
         "can not read the MQTT password"},
        {"a CA for a plain broker", [](MqttOptions& o) { o.caFile = "/etc/ssl/certs/x.pem"; },
         "is for mqtts://"},
        {"a CA file that is not there",
         [](MqttOptions& o) {
             o.url = "mqtts://127.0.0.1:8883";
             o.caFile = "/nonexistent/ca.pem";
         },
         "can not use the MQTT CA file"},
    };
    for (const auto& c : cases) {
        MqttOptions o = Options();
        c.change(o);
        MqttPublisher pub(nullptr, o);
        std::string error;
        EXPECT_FALSE(pub.Start(error)) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
    }
    std::string host, error;
    int port = 0;
    bool tls = false;
    ASSERT_TRUE(zem::line::ParseMqttUrl("mqtt://broker.plant", host, port, tls, error)) << error;
    EXPECT_EQ(port, 1883);
    ASSERT_TRUE(zem::line::ParseMqttUrl("mqtts://[::1]", host, port, tls, error)) << error;
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 8883);
    EXPECT_TRUE(tls);
}

// The service's command line refuses MQTT options it can not use before it serves.
TEST(MqttCommandLine, RefusedBeforeServing) {
    fs::path dir = fs::temp_directory_path() / ("zem-mqtt-cli-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string line = Bin("line/zem-line") + " --db '" + (dir / "line.db").string() +
                             "' serve --port " + std::to_string(FreePort()) + " ";
    struct Case {
        const char* args;
        const char* reason;
    };
    const Case cases[] = {
        {"--mqtt-user u", "the --mqtt-... options need --mqtt mqtt://HOST[:PORT]"},
        {"--mqtt-site s1", "the --mqtt-... options need --mqtt mqtt://HOST[:PORT]"},
        {"--mqtt tcp://127.0.0.1:1883", "is not mqtt://HOST[:PORT] or mqtts://"},
        {"--mqtt mqtt://127.0.0.1:1883 --mqtt-user u --mqtt-password-file /nonexistent/pw",
         "can not read the MQTT password from /nonexistent/pw"},
    };
    for (const auto& c : cases) {
        fs::path out = dir / "out.txt";
        int rc = Shell("timeout 30 " + line + c.args + " >'" + out.string() + "' 2>&1");
        EXPECT_EQ(rc, 1) << c.args;
        std::string said = ReadFile(out);
        EXPECT_NE(said.find(c.reason), std::string::npos) << c.args << ": " << said;
        EXPECT_EQ(said.find("serving"), std::string::npos) << c.args << ": " << said;
    }
    fs::remove_all(dir);
}

// A broker over TLS that wants a user and its password, as a plant's broker would.
TEST(MqttTls, ThroughTlsWithAUserAndThePasswordFromItsFile) {
    if (!Broker::Present()) FAIL() << "mosquitto is not installed (/usr/sbin/mosquitto)";
    char tmpl[] = "/tmp/zem-mqtt-tls-XXXXXX";
    fs::path certs = mkdtemp(tmpl);
    auto make = [&](const std::string& name) {
        return Shell("cd '" + certs.string() +
                     "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout " + name +
                     ".key -out " + name +
                     ".pem -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                     ">/dev/null 2>&1");
    };
    ASSERT_EQ(make("server"), 0);
    ASSERT_EQ(make("other"), 0);
    ASSERT_EQ(Shell("mosquitto_passwd -b -c '" + (certs / "passwd").string() +
                    "' zem 's3cret pass' >/dev/null 2>&1"),
              0);
    std::ofstream(certs / "good") << "s3cret pass\n";
    std::ofstream(certs / "bad") << "guessed\n";
    Broker broker("certfile " + (certs / "server.pem").string() + "\nkeyfile " +
                  (certs / "server.key").string() + "\npassword_file " +
                  (certs / "passwd").string() + "\nallow_anonymous false\n");
    if (geteuid() == 0) Shell("chown -R mosquitto '" + certs.string() + "'");
    broker.Stop();
    ASSERT_TRUE(broker.Start()) << broker.Log();

    struct Case {
        const char* what;
        std::string ca, passwordFile;
        bool connects;
    };
    const Case cases[] = {
        {"the broker's CA and the right password", (certs / "server.pem").string(),
         (certs / "good").string(), true},
        {"a wrong password", (certs / "server.pem").string(), (certs / "bad").string(), false},
        {"another CA", (certs / "other.pem").string(), (certs / "good").string(), false},
    };
    for (const auto& c : cases) {
        MqttOptions o;
        o.url = "mqtts://127.0.0.1:" + std::to_string(broker.Port());
        o.caFile = c.ca;
        o.user = "zem";
        o.passwordFile = c.passwordFile;
        o.clientId = "tls-test";
        std::mutex m;
        std::vector<std::string> said;
        o.log = [&](const std::string& t) {
            std::lock_guard lock(m);
            said.push_back(t);
        };
        MqttPublisher pub(nullptr, o);
        std::string error;
        ASSERT_TRUE(pub.Start(error)) << c.what << ": " << error;
        bool connected = false;
        for (int i = 0; i < (c.connects ? 300 : 50) && !connected; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            connected = pub.Connected();
        }
        EXPECT_EQ(connected, c.connects) << c.what;
        if (c.connects) {
            // Acknowledged by the broker: through TLS, and let in.
            pub.ResultStored("st1", SampleResult(zem::NewUuid()).dump());
            for (int i = 0; i < 300 && pub.Unacknowledged() > 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_EQ(pub.Unacknowledged(), 0u) << c.what;
        }
        pub.Stop();
        std::lock_guard lock(m);
        std::string all;
        for (const auto& t : said)
            all += t + "\n";
        std::printf("%s:\n%s", c.what, all.c_str());
        // Told why, once, however often it is tried again.
        if (std::string(c.what) == "a wrong password") {
            EXPECT_NE(all.find("refused the connection: Connection Refused: not authorised"),
                      std::string::npos)
                << all;
            EXPECT_EQ(all.find("refused"), all.rfind("refused")) << all;
        }
        if (std::string(c.what) == "another CA") {
            EXPECT_NE(all.find("certificate verify failed"), std::string::npos) << all;
        }
    }
    fs::remove_all(certs);
}

} // namespace

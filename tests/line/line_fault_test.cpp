// The fault table: a station's results log forwarded to a zem-line process through outages,
// kills and restarts, each row ending with the database holding every result of the log exactly
// once, on SQLite and on PostgreSQL. Then the job lock as an operator meets it through zemcli.
#include "AppendFile.h"
#include "HttpClient.h"
#include "LineFixtures.h"
#include "LineForwarder.h"
#include "ResultsLog.h"
#include "Store.h"
#include "Tokens.h"
#include "Uuid.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

using namespace zem::test;
using nlohmann::json;

namespace {

PgServer*& g_pg = SharedPg();
const auto* g_env = ::testing::AddGlobalTestEnvironment(new PgEnvironment);

std::string Bin(const std::string& rel) {
    const char* b = std::getenv("ZEM_BINARY_DIR");
    return std::string(b ? b : ".") + "/" + rel;
}

const std::string kToken = "zs-test-station-token";

class LineFault : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        FreshDatabase("fault-line", GetParam(), dir_, db_);
        if (HasFatalFailure()) return;
        std::string error;
        auto store = zem::line::Store::Open(db_, error);
        ASSERT_TRUE(store) << error;
        ASSERT_TRUE(store->AddStation("st1", zem::line::TokenHash(kToken), error)) << error;
        port_ = FreePort();
        log_ = (dir_ / "results.jsonl").string();
    }
    void TearDown() override {
        service_.reset();
        fs::remove_all(dir_);
    }

    void StartService() {
        service_ =
            std::make_unique<LineProcess>(Bin("line/zem-line"), db_, port_, dir_ / "service.log");
        ASSERT_TRUE(CanConnect(port_)) << ReadFile(dir_ / "service.log");
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // A run's start and end lines as a station writes them, at `time`.
    void WriteRun(const std::string& time, int n, bool programmed = true) {
        zem::RunResult r;
        r.runId = zem::NewUuid();
        r.port = "/dev/ttyUSB" + std::to_string(n % 4);
        r.stream = "/srv/fw/s.bin";
        r.speed = "921600";
        r.runNumber = static_cast<unsigned>(n);
        std::string cause;
        ASSERT_TRUE(zem::AppendAndSync(
            log_, zem::ResultsLog::Line(zem::ResultsLog::Event::kStart, r, time, "pc7", "") + "\n",
            cause));
        r.outcome = programmed ? zem::RunEnd::Programmed : zem::RunEnd::NotProgrammed;
        r.exitCode = programmed ? 0 : 7;
        r.status = programmed ? "Program Complete" : "FPL_Boot timeout";
        r.elapsedMs = 4000;
        r.streamSha256 = std::string(64, 'e');
        r.streamCrc32 = "01234567";
        ASSERT_TRUE(zem::AppendAndSync(
            log_, zem::ResultsLog::Line(zem::ResultsLog::Event::kEnd, r, time, "pc7", "") + "\n",
            cause));
        std::lock_guard lock(idsMutex_);
        ids_.insert(r.runId);
    }
    static std::string Time(int second, int hour = 6) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "2026-12-11T%02d:%02d:%02d.000Z", hour, second / 60 % 60,
                      second % 60);
        return buf;
    }

    std::unique_ptr<zem::LineForwarder> Forwarder(const std::string& token = kToken,
                                                  size_t batch = 20) {
        zem::LineForwarder::Options o;
        o.logPath = log_;
        o.link.url = Url();
        o.link.token = token;
        o.batch = batch;
        o.pollMs = 50;
        o.firstRetryMs = 100;
        o.maxRetryMs = 400;
        o.timeoutMs = 1500;
        return std::make_unique<zem::LineForwarder>(o, zem::HttpExchange,
                                                    [this](const std::string& t) {
                                                        std::lock_guard lock(saidMutex_);
                                                        said_.push_back(t);
                                                    });
    }
    std::string Said() {
        std::lock_guard lock(saidMutex_);
        std::string all;
        for (const auto& s : said_)
            all += s + "\n";
        return all;
    }

    // Every result of the log in the database, each once, and nothing else.
    void ExpectExactlyOnce() {
        std::string error;
        auto store = zem::line::Store::Open(db_, error);
        ASSERT_TRUE(store) << error;
        std::vector<zem::line::Result> rows;
        ASSERT_TRUE(store->Results({}, rows, error)) << error;
        std::multiset<std::string> stored;
        for (const auto& r : rows)
            stored.insert(r.resultId);
        std::set<std::string> unique(stored.begin(), stored.end());
        EXPECT_EQ(unique.size(), stored.size()) << "a result stored twice";
        std::lock_guard lock(idsMutex_);
        EXPECT_EQ(unique, ids_) << "the database and the station's log differ";
        for (const auto& r : rows)
            EXPECT_EQ(r.station, "st1");
        // The row's figures, for the record.
        size_t told = 0;
        {
            std::lock_guard said(saidMutex_);
            told = said_.size();
        }
        std::printf("figures: %s on %s: %zu results in the log, %zu rows stored, %zu link changes "
                    "told\n",
                    ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                    GetParam().c_str(), ids_.size(), rows.size(), told);
    }

    fs::path dir_;
    std::string db_, log_;
    int port_ = 0;
    std::unique_ptr<LineProcess> service_;
    std::mutex idsMutex_, saidMutex_;
    std::set<std::string> ids_;
    std::vector<std::string> said_;
};

TEST_P(LineFault, ServiceDownForPartOfTheShiftThenUp) {
    auto fwd = Forwarder();
    fwd->Start();
    for (int i = 0; i < 40; ++i)
        WriteRun(Time(i), i);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(fwd->Backlog().unsent, 40u) << "nothing acknowledged while the line is down";
    EXPECT_NE(Said().find("not reached"), std::string::npos) << Said();
    StartService();
    for (int i = 40; i < 60; ++i)
        WriteRun(Time(i), i);
    EXPECT_TRUE(fwd->Drain(30000)) << Said();
    EXPECT_EQ(fwd->Backlog().unsent, 0u);
    fwd->Stop();
    ExpectExactlyOnce();
}

TEST_P(LineFault, ServiceKilledDuringInserts) {
    StartService();
    auto fwd = Forwarder("zs-test-station-token", 5);
    fwd->Start();
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) {
            WriteRun(Time(i), i);
            if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        writing = false;
    });
    for (int k = 0; k < 4; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        service_->Kill(SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        service_->Start();
    }
    writer.join();
    EXPECT_TRUE(fwd->Drain(60000)) << Said();
    fwd->Stop();
    ExpectExactlyOnce();
}

TEST_P(LineFault, DatabaseRestartedDuringABatch) {
    if (GetParam() != "postgresql")
        GTEST_SKIP() << "SQLite lives inside the service: its restart is the service's kill";
    StartService();
    auto fwd = Forwarder("zs-test-station-token", 5);
    fwd->Start();
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            WriteRun(Time(i), i);
            if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_pg->Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(g_pg->Start()) << g_pg->Log();
    writer.join();
    EXPECT_TRUE(fwd->Drain(60000)) << Said();
    fwd->Stop();
    ExpectExactlyOnce();
}

TEST_P(LineFault, StationKilledBetweenASendAndItsCursorWrite) {
    StartService();
    for (int i = 0; i < 30; ++i)
        WriteRun(Time(i), i);
    auto fwd = Forwarder();
    std::string before = ReadFile(fwd->CursorPath());
    ASSERT_TRUE(fwd->PassOnce()) << Said();
    EXPECT_EQ(fwd->Backlog().unsent, 0u);
    // The line has the batch, the cursor file does not know it: as after a kill between the two.
    if (before.empty())
        fs::remove(fwd->CursorPath());
    else
        std::ofstream(fwd->CursorPath()) << before;
    auto again = Forwarder();
    ASSERT_TRUE(again->PassOnce()) << Said();
    EXPECT_EQ(again->Backlog().unsent, 0u);
    ExpectExactlyOnce();
}

// A run's start line read in one pass and its end line in a later one, sent only after a failed
// try: the stored result still has the start's time, and the failure's cause.
TEST_P(LineFault, AResultKeepsItsStartTimeAndCauseAcrossPasses) {
    StartService();
    zem::RunResult r;
    r.runId = zem::NewUuid();
    r.port = "/dev/ttyUSB1";
    r.stream = "/srv/fw/s.bin";
    r.speed = "921600";
    std::string error;
    ASSERT_TRUE(zem::AppendAndSync(
        log_, zem::ResultsLog::Line(zem::ResultsLog::Event::kStart, r, Time(1), "pc7", "") + "\n",
        error));
    auto fwd = Forwarder();
    ASSERT_TRUE(fwd->PassOnce()) << Said(); // nothing to send; the cursor moves past the start
    service_->Kill(SIGKILL);
    r.outcome = zem::RunEnd::NotProgrammed;
    r.exitCode = 7;
    r.status = "Error, module not programmed";
    r.failure = "the module refused record 3";
    ASSERT_TRUE(zem::AppendAndSync(
        log_, zem::ResultsLog::Line(zem::ResultsLog::Event::kEnd, r, Time(9), "pc7", "") + "\n",
        error));
    EXPECT_FALSE(fwd->PassOnce());
    service_->Start();
    ASSERT_TRUE(CanConnect(port_));
    ASSERT_TRUE(fwd->PassOnce()) << Said();
    auto store = zem::line::Store::Open(db_, error);
    ASSERT_TRUE(store) << error;
    std::vector<zem::line::Result> rows;
    ASSERT_TRUE(store->Results({}, rows, error)) << error;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].startedAt.value_or(""), Time(1));
    EXPECT_EQ(rows[0].cause.value_or(""), "the module refused record 3");
}

TEST_P(LineFault, AConnectionThatHangsTimesOutAndIsTriedAgain) {
    // A listener that takes connections and never answers.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(s, 16), 0);
    for (int i = 0; i < 20; ++i)
        WriteRun(Time(i), i);
    auto fwd = Forwarder();
    fwd->Start();
    std::vector<int> held;
    for (int i = 0; i < 100 && Said().find("not reached") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(Said().find("not reached"), std::string::npos) << "the forwarder timed out";
    EXPECT_EQ(fwd->Backlog().unsent, 20u);
    close(s);
    StartService();
    EXPECT_TRUE(fwd->Drain(30000)) << Said();
    fwd->Stop();
    ExpectExactlyOnce();
}

TEST_P(LineFault, AWrongTokenIsRefusedAndTheStationSaysWhy) {
    StartService();
    for (int i = 0; i < 10; ++i)
        WriteRun(Time(i), i);
    auto wrong = Forwarder("zs-not-this-line");
    EXPECT_FALSE(wrong->PassOnce());
    EXPECT_NE(Said().find("refused the results: the token is not a station's of this line"),
              std::string::npos)
        << Said();
    EXPECT_EQ(wrong->Backlog().unsent, 10u);
    {
        std::string error;
        auto store = zem::line::Store::Open(db_, error);
        ASSERT_TRUE(store) << error;
        std::vector<zem::line::Result> rows;
        ASSERT_TRUE(store->Results({}, rows, error));
        EXPECT_TRUE(rows.empty()) << "nothing stored";
    }
    auto right = Forwarder();
    EXPECT_TRUE(right->PassOnce()) << Said();
    ExpectExactlyOnce();
}

TEST_P(LineFault, TheStationsClockSetBackAnHour) {
    StartService();
    auto fwd = Forwarder();
    fwd->Start();
    for (int i = 0; i < 20; ++i)
        WriteRun(Time(i, 7), i);
    for (int i = 0; i < 20; ++i)
        WriteRun(Time(i, 6), i + 20); // an hour earlier, and again
    EXPECT_TRUE(fwd->Drain(30000)) << Said();
    fwd->Stop();
    ExpectExactlyOnce();
}

INSTANTIATE_TEST_SUITE_P(Databases, LineFault, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

} // namespace

namespace {

// The job lock as an operator meets it: zemcli against a service and zem-sim on a pseudo-terminal.
class LineJobs : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("zem-linejobs-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        db_ = (dir_ / "line.db").string();
        ASSERT_EQ(Run("'" + Bin("tools/zem-mkstream") + "' -q -o s.bin --records 100,200,300"), 0);
        ASSERT_EQ(Run(Admin("station add st1") + " > token"), 0);
        ASSERT_EQ(Run(Admin("viewer add wall") + " > viewer"), 0);
        port_ = FreePort();
        service_ =
            std::make_unique<LineProcess>(Bin("line/zem-line"), db_, port_, dir_ / "service.log");
    }
    void TearDown() override {
        sim_.reset();
        service_.reset();
        if (!HasFailure()) fs::remove_all(dir_);
    }
    std::string Admin(const std::string& args) {
        return "'" + Bin("line/zem-line") + "' --db '" + db_ + "' " + args;
    }
    int Run(const std::string& cmd) {
        return Shell("cd '" + dir_.string() + "' && " + cmd + " 2>>stderr.txt");
    }
    // A simulated module that answers `runs` times; its pseudo-terminal's name.
    std::string Sim(int runs) {
        sim_.reset();
        sim_ = std::make_unique<SimProcess>(dir_, runs);
        return sim_->pty;
    }
    std::string Zemcli(const std::string& args) {
        return "'" + Bin("cli/zemcli") +
               "' --results res.jsonl --line http://127.0.0.1:" + std::to_string(port_) +
               " --line-token-file token " + args;
    }
    size_t Ends() {
        std::istringstream in(ReadFile(dir_ / "res.jsonl"));
        size_t n = 0;
        for (std::string l; std::getline(in, l);)
            if (l.find("\"event\":\"end\"") != std::string::npos) ++n;
        return n;
    }

    struct SimProcess {
        SimProcess(const fs::path& dir, int runs) {
            fs::remove(dir / "sim.out");
            pid = fork();
            if (pid == 0) {
                std::string cmd = "cd '" + dir.string() + "' && exec '" + Bin("tools/zem-sim") +
                                  "' --quiet --timeout 120 --runs " + std::to_string(runs) +
                                  " s.bin > sim.out";
                execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
                _exit(127);
            }
            for (int i = 0; i < 200 && pty.empty(); ++i) {
                std::string out = ReadFile(dir / "sim.out");
                if (auto nl = out.find('\n'); nl != std::string::npos)
                    pty = out.substr(0, nl);
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        ~SimProcess() {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid_t pid = -1;
        std::string pty;
    };

    fs::path dir_;
    std::string db_;
    int port_ = 0;
    std::unique_ptr<LineProcess> service_;
    std::unique_ptr<SimProcess> sim_;
};

TEST_F(LineJobs, AnUnreleasedStreamIsRefusedBeforeAnyPortOpens) {
    std::string pty = Sim(1);
    ASSERT_FALSE(pty.empty());
    EXPECT_EQ(Run(Zemcli("--count 1 s.bin " + pty + " 115200")), 2);
    std::string err = ReadFile(dir_ / "stderr.txt");
    EXPECT_NE(err.find("stream s.bin is not a released job on http://127.0.0.1:"),
              std::string::npos)
        << err;
    EXPECT_EQ(Ends(), 0u) << "no run";
    EXPECT_EQ(ReadFile(dir_ / "res.jsonl"), "");
    // Nor without a token, nor without a results log: refused with the reason.
    EXPECT_EQ(
        Run("'" + Bin("cli/zemcli") + "' --line " + service_->Url() + " s.bin " + pty + " 115200"),
        2);
    EXPECT_NE(ReadFile(dir_ / "stderr.txt").find("--line needs the station's token"),
              std::string::npos);
}

TEST_F(LineJobs, AReleasedJobsQuantityStopsNewModulesAndARetiredJobIsRefused) {
    ASSERT_EQ(Run(Admin("job release s.bin --name fw-1 --quantity 2")), 0);
    std::string pty = Sim(5);
    ASSERT_FALSE(pty.empty());
    EXPECT_EQ(Run(Zemcli("--loop s.bin " + pty + " 115200")), 0) << ReadFile(dir_ / "stderr.txt");
    std::string err = ReadFile(dir_ / "stderr.txt");
    EXPECT_NE(err.find("job fw-1 ("), std::string::npos) << "the job is named: " << err;
    EXPECT_NE(err.find("job fw-1: its 2 modules are programmed; no new module starts"),
              std::string::npos)
        << err;
    EXPECT_EQ(Ends(), 2u);
    // Both results reached the line before zemcli ended, under the job.
    std::string csv;
    ASSERT_EQ(Run(Admin("results --job fw-1 --outcome programmed > out.csv")), 0);
    csv = ReadFile(dir_ / "out.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3) << csv;
    // The quantity reached: the next start is refused.
    EXPECT_EQ(Run(Zemcli("--loop s.bin " + pty + " 115200")), 2);
    EXPECT_NE(ReadFile(dir_ / "stderr.txt").find("its 2 modules are programmed"),
              std::string::npos);

    ASSERT_EQ(Run(Admin("job retire fw-1")), 0);
    EXPECT_EQ(Run(Zemcli("--loop s.bin " + pty + " 115200")), 2);
    EXPECT_NE(ReadFile(dir_ / "stderr.txt").find("stream s.bin is job fw-1, retired on"),
              std::string::npos)
        << ReadFile(dir_ / "stderr.txt");
    EXPECT_EQ(Ends(), 2u);
}

TEST_F(LineJobs, MaxUnsentHoldsNewModulesUntilTheBacklogDrains) {
    ASSERT_EQ(Run(Admin("job release s.bin --name fw-2")), 0);
    // The database's write lock held from here: the service still reads (the job is found) but
    // stores nothing, so the first result stays unsent.
    std::string error;
    auto blocker = zem::line::OpenSqlite(db_, error);
    ASSERT_TRUE(blocker) << error;
    ASSERT_TRUE(blocker->Exec("BEGIN IMMEDIATE", {}, error)) << error;
    std::string pty = Sim(3);
    ASSERT_FALSE(pty.empty());
    pid_t z = fork();
    if (z == 0) {
        std::string cmd = "cd '" + dir_.string() + "' && exec " +
                          Zemcli("--max-unsent 0 --count 3 s.bin " + pty + " 115200") +
                          " >out.txt 2>>stderr.txt";
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // One module programmed, then the port is held while its result is not on the line.
    std::string out;
    for (int i = 0; i < 300 && out.find("Held: 1 results not yet on the line") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        out = ReadFile(dir_ / "out.txt") + ReadFile(dir_ / "stderr.txt");
    }
    EXPECT_NE(out.find("Held: 1 results not yet on the line"), std::string::npos) << out;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(Ends(), 1u) << "no module starts while held";
    ASSERT_TRUE(blocker->Exec("ROLLBACK", {}, error)) << error;
    int st = 0;
    waitpid(z, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0)
        << ReadFile(dir_ / "out.txt") << ReadFile(dir_ / "stderr.txt");
    EXPECT_EQ(Ends(), 3u) << "the hold ended by itself when the backlog drained";
    ASSERT_EQ(Run(Admin("results --job fw-2 > out.csv")), 0);
    std::string csv = ReadFile(dir_ / "out.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 4) << csv;
}

} // namespace

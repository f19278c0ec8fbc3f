#pragma once
// What the line's tests start for themselves on 127.0.0.1: a PostgreSQL server in a temporary
// folder, and zem-line services as processes that a test may kill.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace zem::test {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A port nobody listens on now.
inline int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

inline bool CanConnect(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

inline int Shell(const std::string& cmd) {
    int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A PostgreSQL server of its own: initdb into a temporary folder and pg_ctl on a free port. As
// root (CI) through the postgres user, since initdb refuses root.
class PgServer {
public:
    static constexpr const char* kBin = "/usr/lib/postgresql/15/bin";
    static bool Present() { return fs::exists(std::string(kBin) + "/initdb"); }

    PgServer() {
        char tmpl[] = "/tmp/zem-pg-XXXXXX";
        dir_ = mkdtemp(tmpl);
        port_ = FreePort();
        as_ = geteuid() == 0 ? "runuser -u postgres -- " : "";
        if (geteuid() == 0) Shell("chown postgres '" + dir_ + "'");
        ok_ = Shell(as_ + kBin + "/initdb -D '" + dir_ + "/data' -A trust -U zem >'" + dir_ +
                    "/initdb.log' 2>&1") == 0 &&
              Start();
    }
    ~PgServer() {
        if (ok_) Stop();
        fs::remove_all(dir_);
    }
    bool Ok() const { return ok_; }
    std::string Url() const {
        return "postgresql://zem@127.0.0.1:" + std::to_string(port_) + "/postgres";
    }
    // A crash for the database: its recovery at the next start is part of what is tested.
    void Stop() {
        Shell(as_ + kBin + "/pg_ctl -D '" + dir_ + "/data' -m immediate stop >/dev/null 2>&1");
    }
    bool Start() {
        return Shell(as_ + kBin + "/pg_ctl -D '" + dir_ + "/data' -l '" + dir_ +
                     "/log' -o \"-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) +
                     " -k " + dir_ + "\" -w start >/dev/null 2>&1") == 0;
    }
    // A database of its own for one test.
    std::string NewDatabase(std::string name) {
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        Shell(as_ + kBin + "/psql -q -h 127.0.0.1 -p " + std::to_string(port_) +
              " -U zem -d postgres -c 'DROP DATABASE IF EXISTS " + name + "' -c 'CREATE DATABASE " +
              name + "' >/dev/null 2>&1");
        return "postgresql://zem@127.0.0.1:" + std::to_string(port_) + "/" + name;
    }
    std::string Log() const { return ReadFile(dir_ + "/log"); }

private:
    std::string dir_, as_;
    int port_ = 0;
    bool ok_ = false;
};

// `zem-line serve` as a process.
class LineProcess {
public:
    LineProcess(const std::string& exe, const std::string& db, int port, const fs::path& log)
        : exe_(exe), db_(db), port_(port), log_(log) {
        Start();
    }
    ~LineProcess() { Kill(SIGTERM); }
    void Start() {
        pid_ = fork();
        if (pid_ == 0) {
            std::string p = std::to_string(port_);
            std::FILE* f = std::fopen(log_.c_str(), "a");
            if (f) {
                dup2(fileno(f), 1);
                dup2(fileno(f), 2);
            }
            execl(exe_.c_str(), exe_.c_str(), "--db", db_.c_str(), "serve", "--port", p.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 400 && !CanConnect(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    void Kill(int sig) {
        if (pid_ <= 0) return;
        kill(pid_, sig);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    int Port() const { return port_; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    std::string exe_, db_;
    int port_;
    fs::path log_;
    pid_t pid_ = -1;
};

// The PostgreSQL server of a test program: started once, before its first test, where the
// server's programs are installed; null where they are not.
inline PgServer*& SharedPg() {
    static PgServer* pg = nullptr;
    return pg;
}

class PgEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (PgServer::Present()) SharedPg() = new PgServer;
    }
    void TearDown() override {
        delete SharedPg();
        SharedPg() = nullptr;
    }
};

// A result as a station sends it, programmed, under the id `id`.
inline nlohmann::json SampleResult(const std::string& id) {
    return nlohmann::json{{"result_id", id},
                          {"port", "COM3"},
                          {"alias", nullptr},
                          {"outcome", "programmed"},
                          {"exit_code", 0},
                          {"status", "Program Complete"},
                          {"cause", nullptr},
                          {"started_at", "2026-12-11T05:59:56.000Z"},
                          {"finished_at", "2026-12-11T06:00:00.000Z"},
                          {"duration_ms", 4000},
                          {"stream_sha256", std::string(64, 'c')},
                          {"stream", "s.bin"},
                          {"speed", "921600"},
                          {"dumps", nlohmann::json::array()},
                          {"host", "pc7"},
                          {"version", "1.9"}};
}

// A parameterised test's own place, for `kind` "sqlite" or "postgresql": the folder `dir` made
// afresh (named by `prefix`, the process and the test), and `db` a SQLite file in it or a new
// database on the program's PostgreSQL. A missing PostgreSQL fails the test: make test installs
// it. Callers check HasFatalFailure().
inline void FreshDatabase(const std::string& prefix, const std::string& kind, fs::path& dir,
                          std::string& db) {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    dir = fs::temp_directory_path() / ("zem-" + prefix + "-" + std::to_string(getpid()) + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    if (kind != "postgresql") {
        db = (dir / "line.db").string();
        return;
    }
    if (!PgServer::Present())
        FAIL() << "PostgreSQL 15 is not installed (/usr/lib/postgresql/15/bin): "
                  "scripts/install-deps installs it (make test runs it)";
    PgServer* pg = SharedPg();
    ASSERT_TRUE(pg && pg->Ok()) << "the test's PostgreSQL did not start";
    db = pg->NewDatabase(prefix.substr(0, 1) + "_" + name);
}

} // namespace zem::test

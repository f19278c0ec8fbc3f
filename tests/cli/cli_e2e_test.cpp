// zemcli end to end: the real binary against zem-sim on a pseudo-terminal.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string Bin(const std::string& rel) {
    return Env("ZEM_BINARY_DIR") + "/" + rel;
}

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Result {
    int code = -1;
    std::string out;
};

// Runs a shell command in dir, standard output captured, standard error to a file.
Result RunShell(const fs::path& dir, const std::string& cmd) {
    std::string full = "cd '" + dir.string() + "' && " + cmd + " 2>>stderr.txt";
    Result r;
    FILE* p = popen(full.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// zem-sim in the background; its first output line is the pty.
class Sim {
public:
    Sim(const fs::path& dir, const std::string& args, const std::string& stream,
        const std::string& name = "sim")
        : dir_(dir), name_(name) {
        std::string cmd = "cd '" + dir.string() + "' && exec '" + Bin("tools/zem-sim") +
                          "' --quiet --timeout 120 --summary " + name + ".json " + args + " '" +
                          stream + "' > " + name + ".out";
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && pty_.empty(); ++i) {
            std::string out = ReadAll(dir / (name + ".out"));
            if (auto nl = out.find('\n'); nl != std::string::npos)
                pty_ = out.substr(0, nl);
            else
                usleep(50000);
        }
    }
    ~Sim() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& Pty() const { return pty_; }
    // Waits for the simulator to end and returns its summary.
    nlohmann::json Summary() {
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        std::string s = ReadAll(dir_ / (name_ + ".json"));
        return s.empty() ? nlohmann::json() : nlohmann::json::parse(s);
    }
    // With --runs: one summary per run.
    std::vector<nlohmann::json> Summaries() {
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        std::vector<nlohmann::json> v;
        std::istringstream in(ReadAll(dir_ / (name_ + ".json")));
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) v.push_back(nlohmann::json::parse(line));
        return v;
    }
    pid_t Pid() const { return pid_; }

private:
    fs::path dir_;
    std::string name_;
    pid_t pid_ = -1;
    std::string pty_;
};

class CliE2E : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("zem-cli-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir_);
    }
    std::string Stream(const std::string& name, const std::string& options) {
        std::string path = (dir_ / name).string();
        Result r =
            RunShell(dir_, "'" + Bin("tools/zem-mkstream") + "' -q -o '" + path + "' " + options);
        EXPECT_EQ(r.code, 0) << options;
        return path;
    }
    Result Cli(const std::string& args) {
        return RunShell(dir_, "'" + Bin("cli/zemcli") + "' " + args);
    }

    fs::path dir_;
};

std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> v;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) v.push_back(nlohmann::json::parse(line));
    return v;
}

} // namespace

TEST_F(CliE2E, ProgramsAt921600WithSpeedSwitchAndReadBack) {
    std::string stream = Stream("s.bin", "--records 300,1024,2048,512,4096 --speed-record 3");
    Sim sim(dir_, "--readback 4:100 --expect-speed 921600", stream);
    ASSERT_FALSE(sim.Pty().empty());
    Result r = Cli("--json '" + stream + "' " + sim.Pty() + " 921600");
    EXPECT_EQ(r.code, 0) << ReadAll(dir_ / "stderr.txt");
    auto lines = JsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    const auto& result = lines.back();
    EXPECT_EQ(result["event"], "result");
    EXPECT_EQ(result["exit_code"], 0);
    EXPECT_EQ(result["status"], "Program Complete");
    std::string dump = sim.Pty();
    for (char& c : dump)
        if (c == '/') c = '_';
    dump += "_Read.bin";
    EXPECT_EQ(result["dumps"], nlohmann::json::array({dump}));
    EXPECT_EQ(fs::file_size(dir_ / dump), 200u);
    bool sawReading = false;
    for (const auto& l : lines)
        if (l["event"] == "status" && l["status"] == "Reading...") sawReading = true;
    EXPECT_TRUE(sawReading);

    auto s = sim.Summary();
    EXPECT_EQ(s["result"], "pass");
    EXPECT_EQ(s["speed_word"], 4);
    const auto& recs = s["records"];
    ASSERT_EQ(recs.size(), 5u);
    for (size_t i = 0; i < recs.size(); ++i)
        EXPECT_EQ(recs[i]["speed"], i < 3 ? 115200 : 921600) << "record " << i + 1;
}

TEST_F(CliE2E, FailuresGiveTheirExitCodes) {
    std::string good = Stream("good.bin", "--records 100,200,300");
    std::string bad = Stream("bad.bin", "--records 100 --bad-crc");
    {
        Sim sim(dir_, "--nack 2:0x41:1,2", good);
        Result r = Cli("'" + good + "' " + sim.Pty() + " 115200");
        EXPECT_EQ(r.code, 7) << "NACK";
        auto s = sim.Summary();
        EXPECT_EQ(s["records_seen"], 2) << "a NACKed record is not sent again";
    }
    EXPECT_EQ(Cli("'" + good + "' /dev/no-such-tty 115200").code, 5);
    EXPECT_EQ(Cli("'" + good + "' 127.0.0.1 115200").code, 5) << "host without :port";
    EXPECT_EQ(Cli("missing.bin DISK 115200").code, 4);
    EXPECT_EQ(Cli("'" + bad + "' DISK 115200").code, 3);
    EXPECT_EQ(Cli("a b").code, 2);
    EXPECT_EQ(Cli("a b c d").code, 2);

    Result info = Cli("--info --json '" + good + "'");
    EXPECT_EQ(info.code, 0);
    auto j = nlohmann::json::parse(info.out);
    EXPECT_EQ(j["records"]["count"], 3);
    EXPECT_EQ(j["records"]["ends_exactly"], true);
    EXPECT_EQ(j["header"]["flash_type"], "4MB");
    EXPECT_EQ(Cli("--info '" + bad + "'").code, 3);
    EXPECT_EQ(Cli("--info missing.bin").code, 4);
}

// A module that never answers: the handshake's full 1000 attempts (boot type 3: about 25 s).
TEST_F(CliE2E, SilentModuleFailsAfterHandshake) {
    std::string stream = Stream("s3.bin", "--boot-type 3 --records 100");
    Sim sim(dir_, "--silent", stream);
    auto t0 = std::chrono::steady_clock::now();
    Result r = Cli("--json '" + stream + "' " + sim.Pty() + " 115200");
    auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.code, 7);
    EXPECT_GT(secs, 20.0);
    auto lines = JsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["status"], "Error, module not programmed");
}

namespace {

int FreeLoopbackPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

} // namespace

// Through a network serial port: ser2net on loopback, speaking RFC 2217, in front of zem-sim.
TEST_F(CliE2E, ProgramsThroughSer2net) {
    const char* ser2net = "/usr/sbin/ser2net";
    if (access(ser2net, X_OK) != 0) GTEST_SKIP() << "ser2net is not installed";
    std::string stream = Stream("s.bin", "--records 300,1024,2048,512,4096 --speed-record 3");
    Sim sim(dir_, "--readback 4:50 --expect-speed 921600 --linger 500", stream);
    ASSERT_FALSE(sim.Pty().empty());
    int port = FreeLoopbackPort();
    {
        std::ofstream cfg(dir_ / "ser2net.yaml");
        cfg << "connection: &zem\n"
            << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
            << "  connector: serialdev," << sim.Pty() << ",115200n81,local\n"
            << "  options:\n"
            << "    chardelay: false\n";
    }
    pid_t server = fork();
    if (server == 0) {
        std::string log = (dir_ / "ser2net.log").string();
        freopen(log.c_str(), "w", stdout);
        freopen(log.c_str(), "a", stderr);
        std::string cfg = (dir_ / "ser2net.yaml").string();
        execl(ser2net, "ser2net", "-d", "-u", "-c", cfg.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // ser2net is ready once its port accepts connections.
    for (int i = 0; i < 100; ++i) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        if (up) break;
        usleep(50000);
    }
    std::string name = "127.0.0.1:" + std::to_string(port);
    Result r = Cli("--json '" + stream + "' " + name + " 921600");
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    EXPECT_EQ(r.code, 0) << ReadAll(dir_ / "stderr.txt") << ReadAll(dir_ / "ser2net.log");
    std::string dump = "127.0.0.1_" + std::to_string(port) + "_Read.bin";
    ASSERT_TRUE(fs::exists(dir_ / dump));
    EXPECT_EQ(fs::file_size(dir_ / dump), 100u);
    auto s = sim.Summary();
    EXPECT_EQ(s["result"], "pass");
    const auto& recs = s["records"];
    ASSERT_EQ(recs.size(), 5u);
    for (size_t i = 0; i < recs.size(); ++i)
        EXPECT_EQ(recs[i]["speed"], i < 3 ? 115200 : 921600) << "record " << i + 1;
}

namespace {

std::string DumpName(std::string port, const std::string& tail = "_Read.bin") {
    for (char& c : port)
        if (c == '/') c = '_';
    return port + tail;
}

std::vector<nlohmann::json> ReadJsonLines(const fs::path& p) {
    return JsonLines(ReadAll(p));
}

} // namespace

// Four modules at once, one of which refuses record 3: the other three are programmed byte for
// byte, each port tells its own story, and the run as a whole fails with 7.
TEST_F(CliE2E, GangOfFourWithOneFailure) {
    std::string stream = Stream("s.bin", "--records 300,1024,2048,512,4096 --speed-record 3");
    std::vector<std::unique_ptr<Sim>> sims;
    std::string ports;
    for (int i = 0; i < 4; ++i) {
        std::string args = i == 2 ? "--nack 3:0x41" : "--readback 4:30 --expect-speed 921600";
        sims.push_back(std::make_unique<Sim>(dir_, args, stream, "sim" + std::to_string(i)));
        ASSERT_FALSE(sims.back()->Pty().empty());
        ports += (i ? "," : "") + sims.back()->Pty();
    }
    Result r = Cli("--json --results res.jsonl '" + stream + "' " + ports + " 921600");
    EXPECT_EQ(r.code, 7) << ReadAll(dir_ / "stderr.txt");

    auto lines = JsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    const auto& summary = lines.back();
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["programmed"], 3);
    EXPECT_EQ(summary["failed"], 1);
    EXPECT_EQ(summary["exit_code"], 7);
    EXPECT_EQ(summary["failed_ports"], nlohmann::json::array({sims[2]->Pty()}));
    std::map<std::string, std::vector<nlohmann::json>> byPort;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        ASSERT_TRUE(lines[i].contains("port")) << lines[i].dump();
        byPort[lines[i]["port"]].push_back(lines[i]);
    }
    ASSERT_EQ(byPort.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const auto& ev = byPort[sims[i]->Pty()];
        const auto& result = ev.back();
        EXPECT_EQ(result["event"], "result");
        EXPECT_EQ(result["exit_code"], i == 2 ? 7 : 0);
        EXPECT_EQ(result["status"], i == 2 ? "Error, module not programmed" : "Program Complete");
        size_t results = 0;
        bool programmed = false;
        for (const auto& e : ev) {
            results += e["event"] == "result";
            programmed |= e["event"] == "status" && e["status"] == "Programmed";
        }
        EXPECT_EQ(results, 1u);
        EXPECT_EQ(programmed, i != 2);
        auto s = sims[i]->Summary();
        if (i == 2) {
            EXPECT_EQ(s["records_seen"], 3);
        } else {
            EXPECT_EQ(s["result"], "pass") << s.dump();
            EXPECT_EQ(fs::file_size(dir_ / DumpName(sims[i]->Pty())), 60u);
        }
    }
    EXPECT_EQ(ReadJsonLines(dir_ / "res.jsonl").size(), 4u);
}

// One port, three modules one after the other: three dumps under their own names, three lines
// in the results log.
TEST_F(CliE2E, LoopOfThreeModules) {
    std::string stream = Stream("s.bin", "--records 100,200,300");
    Sim sim(dir_, "--runs 3 --readback 2:10", stream);
    ASSERT_FALSE(sim.Pty().empty());
    Result r =
        Cli("--json --count 3 --results res.jsonl '" + stream + "' " + sim.Pty() + " 115200");
    EXPECT_EQ(r.code, 0) << ReadAll(dir_ / "stderr.txt");
    auto log = ReadJsonLines(dir_ / "res.jsonl");
    ASSERT_EQ(log.size(), 3u);
    std::set<std::string> dumps;
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i]["run"], i + 1);
        EXPECT_EQ(log[i]["outcome"], "programmed");
        EXPECT_EQ(log[i]["stream"], "s.bin");
        ASSERT_EQ(log[i]["dumps"].size(), 1u);
        std::string d = log[i]["dumps"][0];
        EXPECT_EQ(d, DumpName(sim.Pty(), "_Read_" + std::to_string(i + 1) + ".bin"));
        EXPECT_EQ(fs::file_size(dir_ / d), 20u);
        dumps.insert(d);
    }
    EXPECT_EQ(dumps.size(), 3u);
    auto lines = JsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["tally"][sim.Pty()]["programmed"], 3);
    auto runs = sim.Summaries();
    ASSERT_EQ(runs.size(), 3u);
    for (const auto& s : runs)
        EXPECT_EQ(s["result"], "pass");
}

// A port that cannot be opened among good ones: the others are programmed, the summary names it.
TEST_F(CliE2E, GangWithAPortThatCannotBeOpened) {
    std::string stream = Stream("s.bin", "--records 100,200");
    Sim a(dir_, "", stream, "a"), b(dir_, "", stream, "b");
    Result r =
        Cli("--json '" + stream + "' " + a.Pty() + ",/dev/no-such-tty," + b.Pty() + " 115200");
    EXPECT_EQ(r.code, 5);
    auto lines = JsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["programmed"], 2);
    EXPECT_EQ(lines.back()["failed_ports"], nlohmann::json::array({"/dev/no-such-tty"}));
    EXPECT_EQ(a.Summary()["result"], "pass");
    EXPECT_EQ(b.Summary()["result"], "pass");
    // Plain text names the failed port too.
    Sim c(dir_, "", stream, "c");
    Result text = Cli("'" + stream + "' " + c.Pty() + ",/dev/no-such-tty 115200");
    EXPECT_EQ(text.code, 5);
    std::string err = ReadAll(dir_ / "stderr.txt");
    EXPECT_NE(err.find("failed: /dev/no-such-tty (exit code 5)"), std::string::npos) << err;
}

// Ctrl-C while modules are awaited on every port: every run is aborted and logged, exit 7.
TEST_F(CliE2E, CtrlCAbortsEveryRunOfAGang) {
    std::string stream = Stream("s.bin", "--records 100");
    Sim a(dir_, "--silent", stream, "a"), b(dir_, "--silent", stream, "b");
    auto t0 = std::chrono::steady_clock::now();
    Result r = RunShell(dir_, "'" + Bin("cli/zemcli") + "' --json --loop --results res.jsonl '" +
                                  stream + "' " + a.Pty() + "," + b.Pty() +
                                  " 115200 > out.jsonl & pid=$!; sleep 2; kill -INT $pid; "
                                  "wait $pid");
    auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.code, 7);
    EXPECT_LT(secs, 10.0);
    auto log = ReadJsonLines(dir_ / "res.jsonl");
    ASSERT_EQ(log.size(), 2u);
    for (const auto& l : log)
        EXPECT_EQ(l["outcome"], "aborted");
    auto lines = ReadJsonLines(dir_ / "out.jsonl");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["event"], "summary");
    EXPECT_EQ(lines.back()["interrupted"], true);
    EXPECT_EQ(lines.back()["aborted"], 2);
}

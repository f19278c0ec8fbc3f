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
    Sim(const fs::path& dir, const std::string& args, const std::string& stream) : dir_(dir) {
        std::string cmd = "cd '" + dir.string() + "' && exec '" + Bin("tools/zem-sim") +
                          "' --quiet --timeout 120 --summary sim.json " + args + " '" + stream +
                          "' > sim.out";
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && pty_.empty(); ++i) {
            std::string out = ReadAll(dir / "sim.out");
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
    // The module's side goes away at once, as a pulled adapter does.
    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    // Waits for the simulator to end and returns its summary.
    nlohmann::json Summary() {
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        std::string s = ReadAll(dir_ / "sim.json");
        return s.empty() ? nlohmann::json() : nlohmann::json::parse(s);
    }

private:
    fs::path dir_;
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

// zemcli in the background, its standard output to a file, so a test can act during the run.
class BackgroundCli {
public:
    BackgroundCli(const fs::path& dir, const std::string& args) : dir_(dir) {
        std::string cmd = "cd '" + dir.string() + "' && exec '" + Bin("cli/zemcli") + "' " + args +
                          " > cli.out 2>> stderr.txt";
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~BackgroundCli() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void Signal(int sig) { kill(pid_, sig); }
    // Waits for a line of standard output that holds `text` (the run's progress).
    bool WaitForOutput(const std::string& text, double seconds = 30) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (ReadAll(dir_ / "cli.out").find(text) != std::string::npos) return true;
            usleep(5000);
        }
        return false;
    }
    // The exit code and the seconds from `since` to the exit.
    std::pair<int, double> Wait(std::chrono::steady_clock::time_point since) {
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
        return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, s};
    }
    std::string Out() const { return ReadAll(dir_ / "cli.out"); }

private:
    fs::path dir_;
    pid_t pid_ = -1;
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

// ser2net on loopback in front of a pty, speaking RFC 2217; ready once its port accepts.
std::pair<pid_t, int> StartSer2net(const char* ser2net, const fs::path& dir,
                                   const std::string& pty) {
    int port = FreeLoopbackPort();
    {
        std::ofstream cfg(dir / "ser2net.yaml");
        cfg << "connection: &zem\n"
            << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
            << "  connector: serialdev," << pty << ",115200n81,local\n"
            << "  options:\n"
            << "    chardelay: false\n";
    }
    pid_t server = fork();
    if (server == 0) {
        std::string log = (dir / "ser2net.log").string();
        freopen(log.c_str(), "w", stdout);
        freopen(log.c_str(), "a", stderr);
        std::string cfg = (dir / "ser2net.yaml").string();
        execl(ser2net, "ser2net", "-d", "-u", "-c", cfg.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
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
    return {server, port};
}

} // namespace

// Through a network serial port: ser2net on loopback, speaking RFC 2217, in front of zem-sim.
TEST_F(CliE2E, ProgramsThroughSer2net) {
    const char* ser2net = "/usr/sbin/ser2net";
    if (access(ser2net, X_OK) != 0) GTEST_SKIP() << "ser2net is not installed";
    std::string stream = Stream("s.bin", "--records 300,1024,2048,512,4096 --speed-record 3");
    Sim sim(dir_, "--readback 4:50 --expect-speed 921600 --linger 500", stream);
    ASSERT_FALSE(sim.Pty().empty());
    auto [server, port] = StartSer2net(ser2net, dir_, sim.Pty());
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
size_t Count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        ++n;
    return n;
}
} // namespace

// A module that goes away in mid-transfer (its pty closed, as when an adapter is pulled): the run
// ends at once with exit code 7, naming the port and the cause.
TEST_F(CliE2E, SimulatorKilledMidTransferEndsTheRunWithTheCause) {
    std::string stream = Stream("big.bin", "--records 2048x200");
    Sim sim(dir_, "--pace", stream);
    ASSERT_FALSE(sim.Pty().empty());
    BackgroundCli cli(dir_, "--json '" + stream + "' " + sim.Pty() + " 115200");
    ASSERT_TRUE(cli.WaitForOutput("\"code\":3")) << ReadAll(dir_ / "stderr.txt");
    usleep(300000);
    auto killed = std::chrono::steady_clock::now();
    sim.Kill();
    auto [code, secs] = cli.Wait(killed);
    std::printf("exit %d %.3f s after the simulator was killed\n", code, secs);
    EXPECT_EQ(code, 7);
    EXPECT_LT(secs, 3.0);
    auto lines = JsonLines(cli.Out());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["status"], "Error, module not programmed");
    bool named = false;
    for (const auto& l : lines)
        if (l["event"] == "message" &&
            l["text"].get<std::string>().rfind("Port " + sim.Pty() + " lost: ", 0) == 0)
            named = true;
    EXPECT_TRUE(named) << cli.Out();
    // The text display says the same on standard error.
    std::string err = ReadAll(dir_ / "stderr.txt");
    EXPECT_EQ(err.find("lost: "), std::string::npos) << "JSON mode keeps it on standard output";
}

// Ctrl-C while the module is silent in a record's 40 s acknowledgement wait ends the run at once.
TEST_F(CliE2E, InterruptDuringARecordWaitEndsTheRunAtOnce) {
    std::string stream = Stream("s.bin", "--records 100,200,300");
    Sim sim(dir_, "--silent-from 2", stream);
    ASSERT_FALSE(sim.Pty().empty());
    BackgroundCli cli(dir_, "'" + stream + "' " + sim.Pty() + " 115200");
    // Text mode: the status line and the first two records' progress lines, then the wait.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Count(ReadAll(dir_ / "stderr.txt"), "Programming") < 3 &&
           std::chrono::steady_clock::now() < deadline)
        usleep(5000);
    usleep(300000);
    auto interrupted = std::chrono::steady_clock::now();
    cli.Signal(SIGINT);
    auto [code, secs] = cli.Wait(interrupted);
    std::printf("exit %d %.3f s after SIGINT\n", code, secs);
    EXPECT_EQ(code, 7);
    EXPECT_LT(secs, 5.0) << "not the end of the 40 s wait";
    std::string err = ReadAll(dir_ / "stderr.txt");
    EXPECT_NE(err.find("Error, module not programmed"), std::string::npos) << err;
    auto s = sim.Summary();
    EXPECT_EQ(s["records_seen"], 2);
}

// The device server goes away mid-run (ser2net stopped): the run ends at once with the cause.
TEST_F(CliE2E, Ser2netStoppedMidRunEndsTheRunWithTheCause) {
    const char* ser2net = "/usr/sbin/ser2net";
    if (access(ser2net, X_OK) != 0) GTEST_SKIP() << "ser2net is not installed";
    std::string stream = Stream("big.bin", "--records 2048x200");
    Sim sim(dir_, "--pace", stream);
    ASSERT_FALSE(sim.Pty().empty());
    auto [server, port] = StartSer2net(ser2net, dir_, sim.Pty());
    std::string name = "127.0.0.1:" + std::to_string(port);
    BackgroundCli cli(dir_, "--json '" + stream + "' " + name + " 115200");
    ASSERT_TRUE(cli.WaitForOutput("\"code\":3")) << ReadAll(dir_ / "stderr.txt");
    usleep(300000);
    auto stopped = std::chrono::steady_clock::now();
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    auto [code, secs] = cli.Wait(stopped);
    std::printf("exit %d %.3f s after ser2net was stopped\n", code, secs);
    EXPECT_EQ(code, 7);
    EXPECT_LT(secs, 3.0);
    bool named = false;
    for (const auto& l : JsonLines(cli.Out()))
        if (l["event"] == "message" &&
            l["text"].get<std::string>().rfind("Port " + name + " lost: ", 0) == 0)
            named = true;
    EXPECT_TRUE(named) << cli.Out();
}

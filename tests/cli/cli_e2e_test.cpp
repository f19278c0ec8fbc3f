// zemcli end to end: the real binary against zem-sim on a pseudo-terminal.
#include "E2EHarness.h"
#include "Ser2netServer.h"

#include <gtest/gtest.h>

#include <algorithm>
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
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace zem::e2e;

namespace {

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

class CliE2E : public FolderTest {
protected:
    CliE2E() : FolderTest("zem-cli-") {}
    Result Cli(const std::string& args) {
        return RunShell(dir_, "'" + Bin("cli/zemcli") + "' " + args);
    }
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

// Files that cannot be programmed whole are refused before the port is opened: the disk channel
// would create DEBUG_DISK.bin on opening.
TEST_F(CliE2E, FilesThatCannotBeProgrammedWholeAreRefusedBeforeThePort) {
    std::string good = Stream("good.bin", "--records 100,200,300");
    std::string whole = ReadAll(good);
    struct Case {
        const char* name;
        std::string bytes;
        const char* problem; // start of --info's "problem"
    };
    const Case cases[] = {
        {"last record cut", whole.substr(0, whole.size() - 1), "record at 0x"},
        {"count word cut", whole + "\x07", "record at 0x"},
        {"header only", whole.substr(0, 78), "no records"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(dir_ / "cut.bin", std::ios::binary) << c.bytes;
        Result r = Cli("--json cut.bin DISK 115200");
        EXPECT_EQ(r.code, 3);
        auto lines = JsonLines(r.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back()["status"], "The selected file is not a valid");
        EXPECT_FALSE(fs::exists(dir_ / "DEBUG_DISK.bin"));

        Result info = Cli("--info --json cut.bin");
        EXPECT_EQ(info.code, 3);
        auto j = nlohmann::json::parse(info.out);
        EXPECT_EQ(j["valid"], false);
        EXPECT_EQ(j["header"]["flash_type"], "4MB") << "the header itself is fine";
        EXPECT_EQ(j["records"]["ends_exactly"], false);
        EXPECT_EQ(j["records"]["problem"].get<std::string>().rfind(c.problem, 0), 0u)
            << j["records"]["problem"];
    }
    // Where the cut is: the third record starts at 78 + 102 + 202.
    std::ofstream(dir_ / "cut.bin", std::ios::binary) << whole.substr(0, whole.size() - 1);
    Result text = Cli("--info cut.bin");
    EXPECT_NE(text.out.find("Problem:           record at 0x0000017E runs past the end"),
              std::string::npos)
        << text.out;
    auto j = nlohmann::json::parse(Cli("--info --json cut.bin").out);
    EXPECT_EQ(j["records"]["cut_at"], 0x17E);
    EXPECT_EQ(j["records"]["count"], 2);
}

TEST_F(CliE2E, FifoAndHugeFilesFailInsteadOfHangingOrAborting) {
    ASSERT_EQ(mkfifo((dir_ / "fifo.bin").c_str(), 0600), 0);
    // A hang would be cut by timeout (exit 124).
    EXPECT_EQ(RunShell(dir_, "timeout 20 '" + Bin("cli/zemcli") + "' --info fifo.bin").code, 3);
    EXPECT_EQ(RunShell(dir_, "timeout 20 '" + Bin("cli/zemcli") + "' fifo.bin DISK 115200").code,
              3);
    EXPECT_FALSE(fs::exists(dir_ / "DEBUG_DISK.bin"));

    std::string good = Stream("huge.bin", "--records 100");
    std::error_code ec;
    fs::resize_file(good, uint64_t{1} << 40, ec); // sparse
    if (ec) GTEST_SKIP() << ec.message();
    Result info = Cli("--info --json huge.bin");
    EXPECT_EQ(info.code, 3);
    EXPECT_EQ(nlohmann::json::parse(info.out)["records"]["too_large"], true);
    EXPECT_EQ(Cli("huge.bin DISK 115200").code, 3);
}

TEST_F(CliE2E, InfoEscapesControlCharactersOfHeaderTexts) {
    std::string s = ReadAll(Stream("s.bin", "--records 10"));
    // An escape sequence in the product name, and its checksum made good again.
    const std::string evil = "\x1B]0;owned\x07\x1B[2J";
    std::copy(evil.begin(), evil.end(), s.begin() + 34);
    std::fill(s.begin() + 34 + evil.size(), s.begin() + 66, '\0');
    uint16_t sum = 0;
    for (size_t i = 0; i < 70; ++i)
        sum = static_cast<uint16_t>(sum + static_cast<uint8_t>(s[i]));
    sum = static_cast<uint16_t>(sum + static_cast<uint8_t>(s[76]) + static_cast<uint8_t>(s[77]));
    s[74] = static_cast<char>(sum & 0xFF);
    s[75] = static_cast<char>(sum >> 8);
    std::ofstream(dir_ / "evil.bin", std::ios::binary) << s;
    Result r = Cli("--info evil.bin");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out.find('\x1B'), std::string::npos);
    EXPECT_EQ(r.out.find('\x07'), std::string::npos);
    EXPECT_NE(r.out.find("Product Name:      \\x1B]0;owned\\x07\\x1B[2J"), std::string::npos)
        << r.out;
}

// A station archives what "dumps" lists under the module just programmed: a failed read-back must
// not list the file an earlier module left under the same name.
TEST_F(CliE2E, DumpsListOnlyWhatThisRunSaved) {
    std::string stream = Stream("s.bin", "--records 100,100,100");
    std::string dump;
    {
        Sim sim(dir_, "--readback 2:50", stream);
        Result r = Cli("--json '" + stream + "' " + sim.Pty() + " 115200");
        ASSERT_EQ(r.code, 0);
        auto dumps = JsonLines(r.out).back()["dumps"];
        ASSERT_EQ(dumps.size(), 1u);
        dump = dumps[0];
        EXPECT_EQ(fs::file_size(dir_ / dump), 100u);
    }
    // The next module's read-back fails its check word. Its pty may have another name: the
    // earlier dump is then copied to where this run would write.
    Sim sim(dir_, "--readback 2:50:bad", stream);
    std::string next = sim.Pty();
    for (char& c : next)
        if (c == '/') c = '_';
    next += "_Read.bin";
    if (next != dump) fs::copy_file(dir_ / dump, dir_ / next);
    Result r = Cli("--json '" + stream + "' " + sim.Pty() + " 115200");
    EXPECT_EQ(r.code, 7);
    auto result = JsonLines(r.out).back();
    EXPECT_EQ(result["dumps"], nlohmann::json::array());
    EXPECT_EQ(fs::file_size(dir_ / next), 100u) << "the earlier dump is left as it was";
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

size_t Occurrences(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        ++n;
    return n;
}

// A line as real loaders and device servers give it: answers late, byte by byte.
struct LineTimingCase {
    const char* name;
    const char* mkstream;
    const char* sim;
    bool throughSer2net;
    int exitCode;
    // Trace lines that must appear, each with how many times.
    std::vector<std::pair<std::string, size_t>> trace;
};

const LineTimingCase kLineTimingCases[] = {
    {"LateLoaderRefusingTheLastRecord",
     "--records 64,128,256,128,64 --speed-record 3",
     "--answer-delay 70 --sync-until-data --byte-timed --nack 5:0x41:1,2",
     false,
     7,
     {{"DbgAnsw: 0x01", 1}, {"DbgAnsw: 0x02", 1}}},
    {"LateLoaderAcceptingEverything",
     "--records 64,128,256,128,64 --speed-record 3",
     "--answer-delay 70 --sync-until-data --byte-timed --readback 2:16",
     false,
     0,
     {{"late answers to earlier sync bytes taken", 1}}},
    {"BootType3LateBy30RefusingTheLastRecord",
     "--boot-type 3 --records 64,128,256,128,64 --speed-record 3",
     "--answer-delay 30 --sync-until-data --byte-timed --nack 5:0x41:1,2",
     false,
     7,
     {}},
    {"FiveRefusedSyncBytesThenACleanRun",
     "--records 64,128,256,128,64 --speed-record 3",
     "--nack-sync 5 --sync-until-data --byte-timed",
     false,
     0,
     {{"byte 0x41", 5}, {"byte 0x01", 5}, {"byte 0x02", 5}}},
    {"RecordRefusalWithItsDiagnosticBytes",
     "--records 64,128,256,128,64 --speed-record 3",
     "--byte-timed --nack 3:0x41:7,8",
     false,
     7,
     {{"DbgAnsw: 0x07", 1}, {"DbgAnsw: 0x08", 1}}},
    // A far device server: 40 ms each way on top of the network's own time.
    {"FarDeviceServerRefusingTheLastRecord",
     "--records 64,128,256,128,64 --speed-record 3",
     "--answer-delay 80 --sync-until-data --byte-timed --nack 5:0x41:1,2",
     true,
     7,
     {}},
    {"FarDeviceServerAcceptingEverything",
     "--records 64,128,256,128,64 --speed-record 3",
     "--answer-delay 80 --sync-until-data --byte-timed",
     true,
     0,
     {}},
};

void PrintTo(const LineTimingCase& c, std::ostream* os) {
    *os << c.name;
}

class LineTiming : public CliE2E, public ::testing::WithParamInterface<LineTimingCase> {};

} // namespace

// Whatever the line's timing, exit 0 means the loader accepted every record, each answer read as
// that record's own; a refusal is never reported as programmed.
TEST_P(LineTiming, EveryAnswerIsItsRecordsOwn) {
    const LineTimingCase& c = GetParam();
    if (c.throughSer2net && !zem::test::FindSer2net()) GTEST_SKIP() << "ser2net is not installed";
    std::string stream = Stream("s.bin", c.mkstream);
    Sim sim(dir_, std::string(c.sim) + " --linger 500", stream);
    ASSERT_FALSE(sim.Pty().empty());
    std::string port = sim.Pty();
    zem::test::Ser2netServer server;
    if (c.throughSer2net) {
        ASSERT_TRUE(server.Start(dir_.string(), sim.Pty())) << server.Log();
        port = "127.0.0.1:" + std::to_string(server.Port());
    }
    Result r = Cli("--debug --json '" + stream + "' " + port + " 921600");
    server.Stop();
    const std::string err = ReadAll(dir_ / "stderr.txt");
    EXPECT_EQ(r.code, c.exitCode) << err;
    auto s = sim.Summary();
    if (r.code == 0) {
        EXPECT_EQ(s["result"], "pass") << s.dump();
        for (const auto& rec : s["records"]) {
            const int answer = rec["answer"].is_null() ? -1 : rec["answer"].get<int>();
            EXPECT_TRUE(answer >= 0xA0 && answer <= 0xAA) << rec.dump();
        }
    } else {
        EXPECT_EQ(err.find("Program Complete"), std::string::npos) << err;
    }
    // Every byte of every answer is logged once. A simulator starved of the processor may pause
    // inside an answer for longer than a line would, so which answer a byte is logged under is
    // checked in the virtual-time tests, not here.
    const std::string trace = ReadAll(dir_ / "LocalLog.txt");
    for (const auto& [text, times] : c.trace) {
        // "byte 0xNN": the byte logged as an answer or as a diagnostic byte, whichever.
        const bool anyRole = text.rfind("byte ", 0) == 0;
        const std::string b = anyRole ? text.substr(5) : text;
        const size_t n = anyRole ? Occurrences(trace, "(" + b + ")") + Occurrences(trace, ": " + b)
                                 : Occurrences(trace, text);
        EXPECT_EQ(n, times) << text << "\n" << trace;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, LineTiming, ::testing::ValuesIn(kLineTimingCases),
                         [](const ::testing::TestParamInfo<LineTimingCase>& i) {
                             return std::string(i.param.name);
                         });

// Through a network serial port: ser2net on loopback, speaking RFC 2217, in front of zem-sim.
TEST_F(CliE2E, ProgramsThroughSer2net) {
    if (!zem::test::FindSer2net()) GTEST_SKIP() << "ser2net is not installed";
    std::string stream = Stream("s.bin", "--records 300,1024,2048,512,4096 --speed-record 3");
    Sim sim(dir_, "--readback 4:50 --expect-speed 921600 --linger 500", stream);
    ASSERT_FALSE(sim.Pty().empty());
    zem::test::Ser2netServer server;
    ASSERT_TRUE(server.Start(dir_.string(), sim.Pty())) << server.Log();
    const int port = server.Port();
    std::string name = "127.0.0.1:" + std::to_string(port);
    Result r = Cli("--json '" + stream + "' " + name + " 921600");
    server.Stop();
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
        nlohmann::json result;
        for (const auto& e : ev)
            if (e["event"] == "result") result = e;
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
    size_t starts = 0, ends = 0;
    for (const auto& l : ReadJsonLines(dir_ / "res.jsonl")) {
        starts += l["event"] == "start";
        ends += l["event"] == "end";
    }
    EXPECT_EQ(starts, 4u) << "every module answered the handshake";
    EXPECT_EQ(ends, 4u);
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
    std::vector<nlohmann::json> log;
    for (const auto& l : ReadJsonLines(dir_ / "res.jsonl"))
        if (l["event"] == "end") log.push_back(l);
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

// Ctrl-C while every port waits for its module: they stop at once, nothing was programmed and
// nothing failed, so the station exits 0 without a results line.
TEST_F(CliE2E, CtrlCEndsWaitingPortsAtOnceWithNothingCounted) {
    std::string stream = Stream("s.bin", "--records 100");
    Sim a(dir_, "--silent", stream, "a"), b(dir_, "--silent", stream, "b");
    auto t0 = std::chrono::steady_clock::now();
    Result r = RunShell(dir_, "'" + Bin("cli/zemcli") + "' --json --loop --results res.jsonl '" +
                                  stream + "' " + a.Pty() + "," + b.Pty() +
                                  " 115200 > out.jsonl & pid=$!; sleep 2; kill -INT $pid; "
                                  "wait $pid");
    auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.code, 0);
    EXPECT_LT(secs, 10.0);
    EXPECT_TRUE(ReadJsonLines(dir_ / "res.jsonl").empty());
    auto lines = ReadJsonLines(dir_ / "out.jsonl");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["event"], "summary");
    EXPECT_EQ(lines.back()["interrupted"], true);
    EXPECT_EQ(lines.back()["clean_stop"], true);
    EXPECT_EQ(lines.back()["runs"], 0);
    EXPECT_EQ(lines.back()["failed_ports"], nlohmann::json::array());
    // Each waiting port said so once, and that it ended: no handshake, no bar.
    EXPECT_LE(lines.size(), 5u) << ReadAll(dir_ / "out.jsonl");
}

// The first Ctrl-C finishes the module being programmed (and stops the port that waits); the
// exit code is that module's. Its results log has its start and end lines.
TEST_F(CliE2E, ACleanStopFinishesTheModuleInProgress) {
    std::string stream = Stream("big.bin", "--records 2048x40");
    Sim busy(dir_, "--pace", stream, "busy"), idle(dir_, "--silent", stream, "idle");
    BackgroundCli cli(dir_, "--json --loop --results res.jsonl '" + stream + "' " + busy.Pty() +
                                "," + idle.Pty() + " 115200");
    ASSERT_TRUE(cli.WaitForOutput("\"code\":3")) << ReadAll(dir_ / "stderr.txt");
    cli.Signal(SIGINT);
    auto [code, secs] = cli.Wait(std::chrono::steady_clock::now());
    EXPECT_EQ(code, 0) << ReadAll(dir_ / "stderr.txt");
    EXPECT_EQ(busy.Summary()["result"], "pass");
    auto log = ReadJsonLines(dir_ / "res.jsonl");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0]["event"], "start");
    EXPECT_EQ(log[1]["event"], "end");
    EXPECT_EQ(log[1]["outcome"], "programmed");
    EXPECT_EQ(log[1]["port"], busy.Pty());
    EXPECT_EQ(log[1]["stream_sha256"].get<std::string>().size(), 64u);
    size_t idleLines = 0;
    for (const auto& l : JsonLines(cli.Out()))
        idleLines += l.value("port", "") == idle.Pty();
    EXPECT_LE(idleLines, 3u) << cli.Out();
}

// `| head -1` takes one line and goes: the station carries on, the module is programmed and its
// results line written.
TEST_F(CliE2E, AClosedPipeDoesNotEndTheRun) {
    std::string stream = Stream("s.bin", "--records 2048x10");
    Sim sim(dir_, "--pace", stream);
    Result r = RunShell(dir_, "bash -c \"'" + Bin("cli/zemcli") +
                                  "' --json --count 1 --results res.jsonl '" + stream + "' " +
                                  sim.Pty() + " 115200 | head -1; echo \\${PIPESTATUS[0]} > rc\"");
    EXPECT_EQ(ReadAll(dir_ / "rc"), "0\n") << ReadAll(dir_ / "stderr.txt");
    EXPECT_EQ(sim.Summary()["result"], "pass");
    auto log = ReadJsonLines(dir_ / "res.jsonl");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1]["outcome"], "programmed");
}

// Two --count 2 stations one after the other on the same port keep all four dumps, each named in
// its results line; the numbers go on from the highest one there.
TEST_F(CliE2E, ARestartKeepsEveryDump) {
    std::string stream = Stream("s.bin", "--records 100,200,300");
    Sim sim(dir_, "--runs 4 --readback 2:10", stream);
    fs::create_directory(dir_ / "dumps");
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Cli("--count 2 --dump-dir dumps --results res.jsonl '" + stream + "' " +
                      sim.Pty() + " 115200")
                      .code,
                  0)
            << ReadAll(dir_ / "stderr.txt");
    std::set<std::string> named;
    for (const auto& l : ReadJsonLines(dir_ / "res.jsonl"))
        if (l["event"] == "end")
            for (const auto& d : l["dumps"])
                named.insert(d.get<std::string>());
    std::set<std::string> onDisk;
    for (const auto& e : fs::directory_iterator(dir_ / "dumps"))
        onDisk.insert("dumps/" + e.path().filename().string());
    EXPECT_EQ(named.size(), 4u);
    EXPECT_EQ(named, onDisk);
    EXPECT_TRUE(onDisk.count("dumps/" + DumpName(sim.Pty(), "_Read_4.bin")));
}

// A results log that cannot be written: said at once with the file and the cause, the module
// under way finished, and a non-zero exit code.
TEST_F(CliE2E, AResultsLogThatCannotBeWrittenIsNotSilent) {
    std::string stream = Stream("s.bin", "--records 100,200");
    Sim sim(dir_, "", stream);
    Result r = Cli("--results /dev/full --count 1 '" + stream + "' " + sim.Pty() + " 115200");
    EXPECT_EQ(r.code, 6);
    std::string err = ReadAll(dir_ / "stderr.txt");
    EXPECT_NE(err.find("results log /dev/full: No space left on device"), std::string::npos) << err;
    EXPECT_EQ(sim.Summary()["result"], "pass") << "the module under way was finished";
}

// A port that goes away and comes back under the same name (a link re-pointed, as udev does for
// a replugged adapter): shown as lost, looked for again, and its loop goes on.
TEST_F(CliE2E, ALostPortWhoseLinkComesBackIsProgrammedAgain) {
    std::string link = "/dev/zem-e2e-" + std::to_string(getpid());
    std::string stream = Stream("big.bin", "--records 2048x40");
    auto first = std::make_unique<Sim>(dir_, "--pace", stream, "first");
    if (symlink(first->Pty().c_str(), link.c_str()) != 0)
        GTEST_SKIP() << "cannot make a link in /dev";
    struct Unlink {
        std::string path;
        ~Unlink() { unlink(path.c_str()); }
    } unlinkAtEnd{link};
    BackgroundCli cli(dir_,
                      "--json --count 2 --results res.jsonl '" + stream + "' " + link + " 115200");
    ASSERT_TRUE(cli.WaitForOutput("\"code\":3")) << ReadAll(dir_ / "stderr.txt");
    first->Kill();
    ASSERT_TRUE(cli.WaitForOutput("\"state\":\"port lost\""));
    Sim second(dir_, "", stream, "second");
    std::string tmp = link + ".new";
    ASSERT_EQ(symlink(second.Pty().c_str(), tmp.c_str()), 0);
    ASSERT_EQ(rename(tmp.c_str(), link.c_str()), 0);
    auto [code, secs] = cli.Wait(std::chrono::steady_clock::now());
    EXPECT_EQ(code, 7) << "the first module was not programmed";
    EXPECT_EQ(second.Summary()["result"], "pass");
    std::vector<nlohmann::json> ends;
    for (const auto& l : ReadJsonLines(dir_ / "res.jsonl"))
        if (l["event"] == "end") ends.push_back(l);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0]["outcome"], "not programmed");
    EXPECT_FALSE(ends[0]["lost"].is_null());
    EXPECT_EQ(ends[1]["outcome"], "programmed");
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

namespace {
// A network serial server for one connection that misbehaves in one way: says nothing, declines
// the COM-PORT option, or agrees to it and then confirms no setting.
class BadServer {
public:
    enum Kind { kSilent, kDeclines, kConfirmsNothing };
    explicit BadServer(Kind kind) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd_, 1) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, kind] {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            // IAC DONT/DO COM-PORT-OPTION (44); agreeing also takes binary and suppress-go-ahead.
            const unsigned char decline[] = {255, 254, 44};
            const unsigned char agree[] = {255, 253, 0, 255, 253, 3, 255, 253, 44};
            if (kind == kDeclines) ::send(c, decline, sizeof decline, MSG_NOSIGNAL);
            if (kind == kConfirmsNothing) ::send(c, agree, sizeof agree, MSG_NOSIGNAL);
            char buf[512];
            while (::recv(c, buf, sizeof buf, 0) > 0) {
            }
            ::close(c);
        });
    }
    ~BadServer() {
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    int Port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

} // namespace

// Ctrl-C while a device server accepts and says nothing ends the open at once, and the run ends
// as an abort (7), not as a port that did not open (5). The open's own limit is 3 s.
TEST_F(CliE2E, InterruptDuringANetworkOpenEndsItAtOnceAsAnAbort) {
    std::string stream = Stream("s.bin", "--records 100");
    // Silent from the start, or taking the port and confirming none of its settings.
    for (BadServer::Kind kind : {BadServer::kSilent, BadServer::kConfirmsNothing}) {
        SCOPED_TRACE(kind);
        BadServer server(kind);
        ASSERT_NE(server.Port(), 0);
        std::string args = "--json '";
        args += stream;
        args += "' 127.0.0.1:";
        args += std::to_string(server.Port());
        args += " 115200";
        BackgroundCli cli(dir_, args);
        // The version line comes right before the open.
        ASSERT_TRUE(cli.WaitForOutput("Flash Programmer"));
        usleep(300000);
        auto interrupted = std::chrono::steady_clock::now();
        cli.Signal(SIGINT);
        auto [code, secs] = cli.Wait(interrupted);
        std::printf("exit %d %.3f s after SIGINT\n", code, secs);
        EXPECT_EQ(code, 7);
        EXPECT_LT(secs, 1.5) << "not the end of the open's wait";
        const std::string out = cli.Out();
        EXPECT_NE(out.find("\"exit_code\":7"), std::string::npos) << out;
        EXPECT_NE(out.find("\"status\":\"Error, module not programmed\""), std::string::npos)
            << out;
        EXPECT_EQ(out.find("Can not open"), std::string::npos) << out;
    }
}

// With --debug the trace says why a network port did not open; without it, nothing is traced.
TEST_F(CliE2E, WhyANetworkPortDidNotOpenIsTracedWithDebug) {
    std::string stream = Stream("net.bin", "--records 100");
    struct Row {
        BadServer::Kind kind;
        std::vector<std::string> traced;
    };
    const Row rows[] = {
        {BadServer::kSilent,
         {"TSerial::TSerial - Bad IPPortId", "nsio_open -3: no answer from the server"}},
        {BadServer::kDeclines,
         {"TSerial::TSerial - Bad IPPortId",
          "nsio_open -6: connection refused, or COM-PORT declined by the server"}},
        {BadServer::kConfirmsNothing,
         {"TSerial::Configure -3", "TChannel::Configure - Can not set speed"}},
    };
    for (const Row& r : rows) {
        // Without --debug one case is enough to show the silence (the others each cost a wait).
        std::vector<bool> modes = {true};
        if (r.kind == BadServer::kDeclines) modes.push_back(false);
        for (bool debug : modes) {
            SCOPED_TRACE(std::to_string(r.kind) + (debug ? " --debug" : ""));
            fs::remove(dir_ / "LocalLog.txt");
            BadServer server(r.kind);
            ASSERT_NE(server.Port(), 0);
            Result res = Cli(std::string(debug ? "--debug " : "") + "'" + stream +
                             "' 127.0.0.1:" + std::to_string(server.Port()) + " 115200");
            EXPECT_EQ(res.code, 5);
            const std::string log = ReadAll(dir_ / "LocalLog.txt");
            for (const std::string& line : r.traced) {
                if (debug)
                    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
                else
                    EXPECT_EQ(log.find(line), std::string::npos) << line;
            }
        }
    }
}

// The device server goes away mid-run (ser2net stopped): the run ends at once with the cause.
TEST_F(CliE2E, Ser2netStoppedMidRunEndsTheRunWithTheCause) {
    if (!zem::test::FindSer2net()) GTEST_SKIP() << "ser2net is not installed";
    std::string stream = Stream("big.bin", "--records 2048x200");
    Sim sim(dir_, "--pace", stream);
    ASSERT_FALSE(sim.Pty().empty());
    zem::test::Ser2netServer server;
    ASSERT_TRUE(server.Start(dir_.string(), sim.Pty())) << server.Log();
    const int port = server.Port();
    std::string name = "127.0.0.1:" + std::to_string(port);
    BackgroundCli cli(dir_, "--json '" + stream + "' " + name + " 115200");
    ASSERT_TRUE(cli.WaitForOutput("\"code\":3")) << ReadAll(dir_ / "stderr.txt");
    usleep(300000);
    auto stopped = std::chrono::steady_clock::now();
    server.Stop(SIGKILL);
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

// A port that does not open keeps its text and exit code, and one more line on standard error
// says why, in the system's words.
TEST_F(CliE2E, APortThatDoesNotOpenSaysWhy) {
    std::string stream = Stream("cause.bin", "--records 100");
    BadServer declining(BadServer::kDeclines);
    ASSERT_NE(declining.Port(), 0);
    const std::string declined = "127.0.0.1:" + std::to_string(declining.Port());
    struct Row {
        std::string port;
        std::string cause;
    };
    const Row rows[] = {
        {"/dev/no-such-tty", "Cause: no such device"},
        {"/dev/null", "Cause: not a serial port"},
        {"127.0.0.1", "Cause: not a port name: COMn, /dev/..., DISK or host:port"},
        {declined, "Cause: the server declined COM-PORT-OPTION"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.port);
        fs::remove(dir_ / "stderr.txt");
        EXPECT_EQ(Cli("'" + stream + "' " + r.port + " 115200").code, 5);
        const std::string err = ReadAll(dir_ / "stderr.txt");
        // One line for the failure, its cause beneath.
        const size_t at = err.find("Can not open " + r.port + " (exit code 5, ");
        ASSERT_NE(at, std::string::npos) << err;
        EXPECT_EQ(err.find("Can not open", at + 1), std::string::npos) << err;
        EXPECT_EQ(err.find("Can not open"), at) << err;
        EXPECT_NE(err.find(" s)\n" + r.cause + "\n", at), std::string::npos) << err;

        // --json: the result carries the cause (the declining server takes one connection only).
        if (r.port == declined) continue;
        const std::string out = Cli("--json '" + stream + "' " + r.port + " 115200").out;
        const auto lines = JsonLines(out);
        ASSERT_FALSE(lines.empty()) << out;
        EXPECT_EQ(lines.back()["event"], "result") << out;
        EXPECT_EQ(lines.back()["status"], "Can not open " + r.port) << out;
        EXPECT_EQ("Cause: " + lines.back()["cause"].get<std::string>(), r.cause) << out;
    }

    // A station of two such ports: each port's failure on one line, its cause beneath it.
    fs::remove(dir_ / "stderr.txt");
    const Result gang = Cli("'" + stream + "' /dev/no-such-ttyA,/dev/no-such-ttyB 115200");
    const std::string text = gang.out + ReadAll(dir_ / "stderr.txt");
    for (const std::string port : {"/dev/no-such-ttyA", "/dev/no-such-ttyB"}) {
        SCOPED_TRACE(port);
        const size_t at = text.find("Can not open " + port + " (exit code 5, ");
        ASSERT_NE(at, std::string::npos) << text;
        EXPECT_EQ(text.find("Can not open " + port), at) << text;
        EXPECT_EQ(text.find("Can not open " + port, at + 1), std::string::npos) << text;
        EXPECT_NE(text.find(port + "  Cause: no such device\n", at), std::string::npos) << text;
    }
}

// A bad argument is refused, with its name and why, before any port is opened: the disk channel
// would create DEBUG_DISK.bin, a network port would be connected to.
TEST_F(CliE2E, BadArgumentsAreRefusedBeforeAnythingOpens) {
    std::string stream = Stream("args.bin", "--records 100");
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string tls = "tls://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    struct Row {
        std::string args;
        std::string refusal;
    };
    const std::string s = "'" + stream + "' ";
    const Row rows[] = {
        {s + "DISK abc", "zemcli: speed abc: not one of 921600, 460800, 230400, 115200, 57600, "
                         "38400, 19200, 9600\n"},
        {s + "DISK 115200x", "zemcli: speed 115200x: not one of"},
        {"--count 0 " + s + "DISK 115200", "zemcli: --count 0: the number of modules per port"},
        {"--loop --count 2 " + s + "DISK 115200", "zemcli: --loop and --count exclude each other"},
        {"--presence " + s + "DISK 115200", "zemcli: --presence needs --loop or --count"},
        {s + "DISK", "zemcli: expected three parameters, STREAM PORT[,PORT...] SPEED; 2 given"},
        {"--ca ca.pem " + s + "DISK 115200", "zemcli: --ca is for tls:// ports only; DISK"},
        {"--cert c.pem " + s + tls + " 115200", "zemcli: --cert needs --key"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.args);
        fs::remove(dir_ / "stderr.txt");
        EXPECT_EQ(Cli(r.args).code, 2);
        const std::string err = ReadAll(dir_ / "stderr.txt");
        EXPECT_EQ(err.rfind(r.refusal, 0), 0u) << err;
        EXPECT_NE(err.find("Speeds: 921600, 460800"), std::string::npos) << "the usage follows";
        EXPECT_FALSE(fs::exists(dir_ / "DEBUG_DISK.bin"));
        EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "connected before the refusal";
    }
    close(listener);
    // The help lists the speeds as well.
    Result help = Cli("--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Speeds: 921600, 460800, 230400, 115200, 57600, 38400, 19200, 9600"),
              std::string::npos)
        << help.out;
}

// Started in a folder it cannot write, zemcli says so before anything else; the run goes on.
TEST_F(CliE2E, AFolderThatIsNotWritableIsNamedAtStartUp) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user without rights here";
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
    fs::path locked = dir_ / "locked";
    fs::create_directories(locked);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(locked, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    Result r = RunShell(locked, "setpriv --reuid=64000 --regid=65534 --clear-groups '" +
                                    Bin("cli/zemcli") + "' missing.bin DISK 115200");
    EXPECT_EQ(r.code, 4);
    const std::string err = ReadAll(locked / "stderr.txt");
    EXPECT_EQ(
        err.rfind("zemcli: warning: the working folder " + locked.string() + " is not writable: ",
                  0),
        0u)
        << err;
    // The operator runs zemcli, not the desktop program.
    EXPECT_EQ(err.find("start Zem"), std::string::npos) << err;
    EXPECT_NE(err.find("run zemcli from a folder of your own"), std::string::npos) << err;
    // Root may write anywhere: no such line.
    fs::remove(locked / "stderr.txt");
    EXPECT_EQ(RunShell(locked, "'" + Bin("cli/zemcli") + "' missing.bin DISK 115200").code, 4);
    EXPECT_EQ(ReadAll(locked / "stderr.txt").find("not writable"), std::string::npos);
}

namespace {

// This test's certificates (see tests/ipserial/make-test-certs.sh), made by openssl in `dir`.
bool MakeCertificates(const fs::path& dir) {
    const std::string script = Env("ZEM_SOURCE_DIR") + "/tests/ipserial/make-test-certs.sh";
    return system(("bash '" + script + "' '" + dir.string() + "' >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

// RFC 2217 inside TLS: the run at 921600 with its speed switch and read-back, and the refusals,
// each with exit 5 and its cause in one message line.
TEST_F(CliE2E, ProgramsThroughSer2netOverTls) {
    if (!zem::test::FindSer2net()) GTEST_SKIP() << "ser2net is not installed";
    const fs::path certs = dir_ / "certs";
    if (system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not installed";
    ASSERT_TRUE(MakeCertificates(certs));
    std::string stream = Stream("s.bin", "--records 300,1024,2048,512,4096 --speed-record 3");
    Sim sim(dir_, "--readback 4:50 --expect-speed 921600 --linger 500", stream);
    ASSERT_FALSE(sim.Pty().empty());
    const std::string c = certs.string() + "/";
    zem::test::Ser2netServer server;
    ASSERT_TRUE(server.Start(dir_.string(), sim.Pty(),
                             "ssl(key=" + c + "server.key,cert=" + c + "server.pem)"))
        << server.Log();
    const int port = server.Port();
    const std::string name = "tls://127.0.0.1:" + std::to_string(port);

    struct Refusal {
        std::string options;
        std::string cause;
    } refusals[] = {
        {"", "the server's certificate is not trusted"},
        {"--ca '" + c + "other-ca.pem'", "the server's certificate is not trusted"},
        {"--ca '" + c + "missing.pem'", "can not read the CA file"},
    };
    for (const Refusal& f : refusals) {
        Result r = Cli("--json " + f.options + " '" + stream + "' " + name + " 921600");
        EXPECT_EQ(r.code, 5) << f.options;
        bool named = false;
        for (const auto& l : JsonLines(r.out))
            if (l["event"] == "message" &&
                l["text"].get<std::string>().rfind("Cause: " + f.cause, 0) == 0)
                named = true;
        EXPECT_TRUE(named) << f.options << "\n" << r.out;
    }

    Result r = Cli("--json --ca '" + c + "ca.pem' '" + stream + "' " + name + " 921600");
    server.Stop();
    EXPECT_EQ(r.code, 0) << ReadAll(dir_ / "stderr.txt") << ReadAll(dir_ / "ser2net.log");
    std::string dump = "tls___127.0.0.1_" + std::to_string(port) + "_Read.bin";
    ASSERT_TRUE(fs::exists(dir_ / dump));
    EXPECT_EQ(fs::file_size(dir_ / dump), 100u);
    auto s = sim.Summary();
    EXPECT_EQ(s["result"], "pass");
    const auto& recs = s["records"];
    ASSERT_EQ(recs.size(), 5u);
    for (size_t i = 0; i < recs.size(); ++i)
        EXPECT_EQ(recs[i]["speed"], i < 3 ? 115200 : 921600) << "record " << i + 1;
}

// A lost TLS connection ends the run at once, as a lost plain one does.
TEST_F(CliE2E, Ser2netOverTlsStoppedMidRunEndsTheRunWithTheCause) {
    if (!zem::test::FindSer2net()) GTEST_SKIP() << "ser2net is not installed";
    const fs::path certs = dir_ / "certs";
    if (system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not installed";
    ASSERT_TRUE(MakeCertificates(certs));
    std::string stream = Stream("big.bin", "--records 2048x200");
    Sim sim(dir_, "--pace", stream);
    ASSERT_FALSE(sim.Pty().empty());
    const std::string c = certs.string() + "/";
    zem::test::Ser2netServer server;
    ASSERT_TRUE(server.Start(dir_.string(), sim.Pty(),
                             "ssl(key=" + c + "server.key,cert=" + c + "server.pem)"))
        << server.Log();
    const int port = server.Port();
    std::string name = "tls://localhost:" + std::to_string(port);
    BackgroundCli cli(dir_, "--json --ca '" + c + "ca.pem' '" + stream + "' " + name + " 115200");
    ASSERT_TRUE(cli.WaitForOutput("\"code\":3")) << ReadAll(dir_ / "stderr.txt");
    usleep(300000);
    auto stopped = std::chrono::steady_clock::now();
    server.Stop(SIGKILL);
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

// With --debug the trace file holds text records only, the channel's among them, each a CR LF
// line with a known tag; the bytes of the run go to the wire trace, readable, when one is asked
// for.
TEST_F(CliE2E, DebugTraceHoldsTextRecordsAndTheWireTraceTheBytes) {
    std::string stream = Stream("w.bin", "--records 40,300");
    Sim sim(dir_, "", stream);
    ASSERT_FALSE(sim.Pty().empty());
    fs::remove(dir_ / "LocalLog.txt");
    Result r = Cli("--debug --wire-trace wire.txt '" + stream + "' " + sim.Pty() + " 115200");
    EXPECT_EQ(r.code, 0) << ReadAll(dir_ / "stderr.txt");

    const std::string log = ReadAll(dir_ / "LocalLog.txt");
    EXPECT_NE(log.find("TChannel::Configure - New Speed: 115200\r\n"), std::string::npos);
    EXPECT_NE(log.find("FPL_SendStream OK\r\n"), std::string::npos);
    size_t at = 0, records = 0;
    while (at < log.size()) {
        size_t end = log.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "a record without its CR LF";
        const std::string rec = log.substr(at, end - at);
        const std::string tag = rec.substr(0, rec.find(' '));
        EXPECT_TRUE(tag == "Fail" || tag == "Log" || tag == "Error" || tag == "Debug") << rec;
        EXPECT_EQ(rec.find('\n'), std::string::npos) << rec;
        at = end + 2;
        ++records;
    }
    EXPECT_GT(records, 5u);

    const std::string wire = ReadAll(dir_ / "wire.txt");
    EXPECT_NE(wire.find(" TX 55 "), std::string::npos) << "the sync byte";
    EXPECT_NE(wire.find(" RX A"), std::string::npos) << "an acknowledgement";
    EXPECT_EQ(std::count(wire.begin(), wire.end(), '\r'), 0);

    Result bad = Cli("--wire-trace " + (dir_ / "no" / "such" / "w.txt").string() + " '" + stream +
                     "' " + sim.Pty() + " 115200");
    EXPECT_EQ(bad.code, 2);
}

// A station that nothing stops: zemcli against zem-sim on pseudo-terminals, with the output held,
// a crash before a restart, several read-backs in one run, a results log cut short, signals, and
// ports that come late or stumble.
#include "E2EHarness.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace zem::e2e;
using Clock = std::chrono::steady_clock;

namespace {

// A program started in `dir`, standard output to out.txt and standard error to stderr.txt,
// except that descriptor `target` (1 or 2) may be given `fd` instead; waited for with a deadline.
class Process {
public:
    Process(const fs::path& dir, std::vector<std::string> argv, int fd = -1, int target = 1) {
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dir.c_str()) != 0) _exit(126);
            int out = open("out.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
            int err = open("stderr.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(fd >= 0 && target == 1 ? fd : out, 1);
            dup2(fd >= 0 && target == 2 ? fd : err, 2);
            std::vector<char*> args;
            for (auto& a : argv)
                args.push_back(a.data());
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t Pid() const { return pid_; }
    void Signal(int sig) const { kill(pid_, sig); }
    // The exit code, or -1 when it did not end within `seconds` (it is killed then), or 128+N
    // when signal N ended it.
    int Wait(double seconds) {
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        int st = 0;
        while (waitpid(pid_, &st, WNOHANG) == 0) {
            if (Clock::now() > end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
                return -1;
            }
            usleep(20000);
        }
        pid_ = -1;
        if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

private:
    pid_t pid_ = -1;
};

class StationE2E : public FolderTest {
protected:
    StationE2E() : FolderTest("zem-station-") {}
    std::vector<std::string> Cli(std::vector<std::string> args) {
        args.insert(args.begin(), Bin("cli/zemcli"));
        return args;
    }
    std::string Err() const { return ReadAll(dir_ / "stderr.txt"); }
    // The results log's lines of one event; lines that are no JSON object are passed over.
    std::vector<nlohmann::json> Log(const std::string& event) const {
        std::vector<nlohmann::json> v;
        std::istringstream in(ReadAll(dir_ / "res.jsonl"));
        for (std::string line; std::getline(in, line);) {
            auto l = nlohmann::json::parse(line, nullptr, false);
            if (l.is_object() && l.value("event", "") == event) v.push_back(l);
        }
        return v;
    }
};

// A pipe whose reader never reads, already full: every write to it blocks.
struct FullPipe {
    int fds[2] = {-1, -1};
    FullPipe() {
        if (pipe(fds) != 0) return;
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        char block[4096] = {};
        while (write(fds[1], block, sizeof block) > 0) {
        }
        fcntl(fds[1], F_SETFL, 0);
    }
    ~FullPipe() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
};

} // namespace

// Output that nobody reads (a terminal held by Ctrl-S, a pager left alone) holds no port: two
// modules are still programmed, their results written, and the station ends.
TEST_F(StationE2E, BlockedOutputHoldsNoPort) {
    std::string stream = Stream("s.bin", "--records 2048x20");
    for (bool json : {true, false}) {
        SCOPED_TRACE(json ? "JSON on a blocked standard output" : "board on a blocked stderr");
        fs::remove(dir_ / "res.jsonl");
        Sim a(dir_, "", stream, "a"), b(dir_, "", stream, "b");
        ASSERT_FALSE(a.Pty().empty() || b.Pty().empty());
        FullPipe full;
        std::vector<std::string> args = {
            "--count", "1", "--results", "res.jsonl", stream, a.Pty() + "," + b.Pty(), "921600"};
        if (json) args.insert(args.begin(), "--json");
        // JSON lines block on standard output, the board's lines on standard error.
        Process cli(dir_, Cli(args), full.fds[1], json ? 1 : 2);
        int code = cli.Wait(90);
        EXPECT_EQ(code, 0) << Err();
        auto ends = Log("end");
        ASSERT_EQ(ends.size(), 2u) << Err();
        for (const auto& e : ends)
            EXPECT_EQ(e["outcome"], "programmed");
        EXPECT_EQ(a.Summaries().at(0)["result"], "pass");
        EXPECT_EQ(b.Summaries().at(0)["result"], "pass");
    }
}

// A module that sends two read-back blocks in one run: each is a dump of its own, none replaced,
// both named in the run's results line in the order they came.
TEST_F(StationE2E, EveryReadBackBlockIsADumpOfItsOwn) {
    std::string stream = Stream("s.bin", "--records 100,200,300,400");
    Sim sim(dir_, "--runs 2 --readback 2:10 --readback 4:20", stream, "sim");
    ASSERT_FALSE(sim.Pty().empty());
    Process cli(dir_, Cli({"--count", "2", "--results", "res.jsonl", stream, sim.Pty(), "115200"}));
    EXPECT_EQ(cli.Wait(120), 0) << Err();
    auto ends = Log("end");
    ASSERT_EQ(ends.size(), 2u) << Err();
    std::set<std::string> named;
    for (size_t run = 0; run < ends.size(); ++run) {
        const auto& dumps = ends[run]["dumps"];
        ASSERT_EQ(dumps.size(), 2u) << ends[run];
        for (size_t block = 0; block < 2; ++block) {
            std::string d = dumps[block];
            EXPECT_EQ(d,
                      DumpName(sim.Pty(), "_Read_" + std::to_string(run * 2 + block + 1) + ".bin"));
            EXPECT_EQ(fs::file_size(dir_ / d), block == 0 ? 20u : 40u) << d;
            named.insert(d);
        }
    }
    std::set<std::string> onDisk;
    for (const auto& e : fs::directory_iterator(dir_))
        if (e.path().filename().string().find("_Read") != std::string::npos)
            onDisk.insert(e.path().filename().string());
    EXPECT_EQ(named, onDisk);
}

// A line that could not be written whole is taken back: the file ends where it ended before, and
// a restarted station's lines (and those after a line cut by something else) stand whole on
// lines of their own. The failure is no interruption, and each start has an id of its own.
TEST_F(StationE2E, TheResultsLogIsNeverTorn) {
    std::string stream = Stream("s.bin", "--records 100,200");
    Sim sim(dir_, "--runs 3", stream, "sim");
    ASSERT_FALSE(sim.Pty().empty());
    // The lines' lengths, from a run of its own.
    Process measure(
        dir_, Cli({"--count", "1", "--results", "measure.jsonl", stream, sim.Pty(), "115200"}));
    ASSERT_EQ(measure.Wait(60), 0) << Err();
    std::istringstream measured(ReadAll(dir_ / "measure.jsonl"));
    std::string startLine, endLine;
    std::getline(measured, startLine);
    std::getline(measured, endLine);
    ASSERT_FALSE(endLine.empty());
    fs::remove(dir_ / "out.txt");
    // The file may grow to 300 blocks of 512 bytes (standard output and error take far less):
    // the log is filled so that the start line fits and only half the end line would.
    const size_t limit = 300 * 512;
    {
        std::ofstream fill(dir_ / "res.jsonl");
        const std::string line = "{\"filler\":\"" + std::string(70, 'x') + "\"}\n";
        const size_t room = startLine.size() + 1 + endLine.size() / 2;
        size_t n = 0;
        for (; n + line.size() + room <= limit; n += line.size())
            fill << line;
        fill << std::string(limit - room - n - 1, ' ') << "\n";
    }
    std::string limited = "ulimit -f 300; trap '' XFSZ; exec '" + Bin("cli/zemcli") +
                          "' --json --count 1 --results res.jsonl '" + stream + "' " + sim.Pty() +
                          " 115200";
    Process first(dir_, {"/bin/sh", "-c", limited});
    EXPECT_EQ(first.Wait(60), 6) << Err();
    std::string log = ReadAll(dir_ / "res.jsonl");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n') << log;
    EXPECT_EQ(Log("start").size(), 1u);
    EXPECT_NE(Err().find("results log res.jsonl: File too large"), std::string::npos) << Err();
    auto out = JsonLines(ReadAll(dir_ / "out.txt"));
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back()["event"], "summary");
    EXPECT_EQ(out.back()["results_log_failed"], true);
    EXPECT_EQ(out.back()["interrupted"], false) << "no signal stopped it";
    EXPECT_EQ(out.back()["clean_stop"], false);

    // Something else cut a line short.
    std::ofstream(dir_ / "res.jsonl", std::ios::app) << "{\"cut\":";
    Process second(dir_,
                   Cli({"--count", "1", "--results", "res.jsonl", stream, sim.Pty(), "115200"}));
    EXPECT_EQ(second.Wait(60), 0) << Err();
    std::istringstream lines(ReadAll(dir_ / "res.jsonl"));
    std::vector<nlohmann::json> whole;
    for (std::string line; std::getline(lines, line);) {
        if (line == "{\"cut\":" || line.find("filler") != std::string::npos ||
            line.find_first_not_of(' ') == std::string::npos)
            continue;
        whole.push_back(nlohmann::json::parse(line)); // throws on a glued line
    }
    ASSERT_EQ(whole.size(), 3u);
    EXPECT_EQ(whole[1]["event"], "start");
    EXPECT_EQ(whole[2]["event"], "end");
    EXPECT_EQ(whole[2]["outcome"], "programmed");
    // A start line and its end line share their start's id; the next start has another.
    std::string id = whole[1]["station_start_id"];
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id[14], '4') << "a version 4 UUID: " << id;
    EXPECT_EQ(whole[2]["station_start_id"], id);
    EXPECT_NE(whole[0]["station_start_id"], id);
}

// What would fail every module later is refused at the start, with its cause.
TEST_F(StationE2E, StartChecksNameTheCause) {
    std::string stream = Stream("s.bin", "--records 100");
    Sim sim(dir_, "", stream, "sim");
    ASSERT_FALSE(sim.Pty().empty());
    fs::create_directory(dir_ / "folder");
    fs::create_directory(dir_ / "locked");
    fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    // Root writes where permissions say no; /proc takes no files from anyone.
    std::string unwritable = geteuid() == 0 ? "/proc" : "locked";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* said;  // the start of the line
        const char* cause; // what follows it after ": "
    };
    const Case cases[] = {
        {"dump folder",
         {"--loop", "--dump-dir", unwritable},
         "can not write to the dump folder",
         geteuid() == 0 ? "No such file or directory" : "Permission denied"},
        {"results log a folder",
         {"--loop", "--results", "folder"},
         "can not append to folder",
         "Is a directory"},
        {"presence on a pty",
         {"--loop", "--presence"},
         "--presence needs modem lines",
         "the port reports no modem lines"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir_ / "stderr.txt");
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {stream, sim.Pty(), "115200"});
        Process cli(dir_, Cli(args));
        EXPECT_EQ(cli.Wait(30), 2);
        std::string err = Err();
        size_t at = err.find(c.said);
        ASSERT_NE(at, std::string::npos) << err;
        std::string line = err.substr(at, err.find('\n', at) - at);
        EXPECT_NE(line.find(std::string(": ") + c.cause), std::string::npos) << line;
    }
    fs::permissions(dir_ / "locked", fs::perms::owner_all);
}

// A station killed outright and started again on the same pseudo-terminals: nothing it left
// behind says "busy". An exclusive flag that no process holds (as an older start left on a tty
// that lives on with its master) is cleared; only a live holder's lock makes a port busy.
TEST_F(StationE2E, AKilledStationRestartsOnTheSamePorts) {
    std::string stream = Stream("s.bin", "--records 100,200");
    // The first start is killed while it offers its sync bytes; the modules answer only later.
    Sim a(dir_, "--skip-sync 40 --runs 2", stream, "a"),
        b(dir_, "--skip-sync 40 --runs 2", stream, "b");
    ASSERT_FALSE(a.Pty().empty() || b.Pty().empty());
    const std::string ports = a.Pty() + "," + b.Pty();
    {
        Process first(dir_, Cli({"--json", "--loop", stream, ports, "115200"}));
        auto end = Clock::now() + std::chrono::seconds(20);
        while (ReadAll(dir_ / "out.txt").find("\"waiting\"") == std::string::npos &&
               Clock::now() < end)
            usleep(20000);
        usleep(200000);
        first.Signal(SIGKILL);
        EXPECT_EQ(first.Wait(10), 128 + SIGKILL);
    }
    // A privileged process may open an exclusive tty, and so can leave the flag set as a crash
    // would; an unprivileged one cannot open it at all.
    if (geteuid() == 0)
        for (const auto& pty : {a.Pty(), b.Pty()}) {
            int fd = open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(ioctl(fd, TIOCEXCL), 0);
            close(fd);
        }
    // While this start holds the ports, a second one finds them busy.
    Process second(dir_, Cli({"--count", "1", "--results", "res.jsonl", stream, ports, "115200"}));
    usleep(300000);
    Process third(dir_, Cli({"--count", "1", stream, a.Pty(), "115200"}));
    EXPECT_EQ(third.Wait(30), 5);
    EXPECT_NE(Err().find("busy"), std::string::npos) << Err();
    EXPECT_EQ(second.Wait(120), 0) << Err();
    auto ends = Log("end");
    ASSERT_EQ(ends.size(), 2u) << Err();
    for (const auto& e : ends)
        EXPECT_EQ(e["outcome"], "programmed");
}

// A hang-up stops the station cleanly, unless it was started with hang-ups ignored (nohup): then
// it goes on until told otherwise.
TEST_F(StationE2E, NohupKeepsTheStationThroughAHangUp) {
    std::string stream = Stream("s.bin", "--records 100");
    for (bool ignored : {true, false}) {
        SCOPED_TRACE(ignored ? "under nohup" : "as it is");
        Sim sim(dir_, "--silent", stream, "sim");
        ASSERT_FALSE(sim.Pty().empty());
        fs::remove(dir_ / "out.txt");
        std::string cmd = std::string(ignored ? "trap '' HUP; " : "") + "exec '" +
                          Bin("cli/zemcli") + "' --json --loop '" + stream + "' " + sim.Pty() +
                          " 115200";
        Process cli(dir_, {"/bin/sh", "-c", cmd});
        auto end = Clock::now() + std::chrono::seconds(20);
        while (ReadAll(dir_ / "out.txt").find("\"waiting\"") == std::string::npos &&
               Clock::now() < end)
            usleep(20000);
        cli.Signal(SIGHUP);
        if (ignored) {
            EXPECT_EQ(cli.Wait(2), -1) << "still running after the hang-up";
            EXPECT_EQ(ReadAll(dir_ / "out.txt").find("summary"), std::string::npos);
            continue; // Wait killed it
        }
        EXPECT_EQ(cli.Wait(20), 0);
        auto lines = JsonLines(ReadAll(dir_ / "out.txt"));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back()["event"], "summary");
        EXPECT_EQ(lines.back()["interrupted"], true);
    }
}

// A port that is not there when the station starts (its adapter plugged in 3 s later) is waited
// for, and its module programmed.
TEST_F(StationE2E, APortThatComesLateIsWaitedFor) {
    std::string link = "/dev/zem-late-" + std::to_string(getpid());
    std::string stream = Stream("s.bin", "--records 100,200");
    Sim sim(dir_, "", stream, "sim");
    ASSERT_FALSE(sim.Pty().empty());
    unlink(link.c_str());
    Process cli(dir_,
                Cli({"--json", "--count", "1", "--results", "res.jsonl", stream, link, "115200"}));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    if (symlink(sim.Pty().c_str(), link.c_str()) != 0) GTEST_SKIP() << "cannot make a link in /dev";
    struct Unlink {
        std::string path;
        ~Unlink() { unlink(path.c_str()); }
    } unlinkAtEnd{link};
    EXPECT_EQ(cli.Wait(60), 0) << Err();
    std::string out = ReadAll(dir_ / "out.txt");
    EXPECT_NE(out.find("not found: no such device, waiting for it"), std::string::npos) << out;
    auto ends = Log("end");
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0]["outcome"], "programmed");
}

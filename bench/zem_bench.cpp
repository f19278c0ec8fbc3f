// zem-bench: how close zemcli comes to the line's rate, and what it costs, against zem-sim on a
// pseudo-terminal that reads at the line's rate and takes 1 ms to flash each record. Not a test:
// the numbers depend on the machine and on what else it runs.
#include "Ser2netServer.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

enum class Via { kPty, kSer2net, kSer2netTls, kCoarseTimer, kSilent, kSilentSer2net };
// Who programs: zemcli, or the blocking reference host that its efficiency is read against.
enum class Host { kZemcli, kReference };

struct Row {
    std::string name;
    std::string label;
    uint32_t record = 0; // payload bytes per record
    uint32_t speed = 0;
    Via via = Via::kPty;
    bool slow = false; // 115200: minutes per run
    Host host = Host::kZemcli;
};

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {"pty-256-921600", "256 B, 921600, pty", 256, 921600, Via::kPty, false},
        {"pty-2k-921600", "2 KiB, 921600, pty", 2048, 921600, Via::kPty, false},
        {"pty-8k-921600", "8 KiB, 921600, pty", 8192, 921600, Via::kPty, false},
        {"ser2net-2k-921600", "2 KiB, 921600, ser2net (RFC 2217)", 2048, 921600, Via::kSer2net,
         false},
        {"ref-ser2net-2k-921600", "2 KiB, 921600, ser2net, blocking reference host", 2048, 921600,
         Via::kSer2net, false, Host::kReference},
        {"ref-pty-2k-921600", "2 KiB, 921600, pty, blocking reference host", 2048, 921600,
         Via::kPty, false, Host::kReference},
        {"ser2net-tls-2k-921600", "2 KiB, 921600, ser2net (RFC 2217 over TLS)", 2048, 921600,
         Via::kSer2netTls, false},
        {"coarse-2k-921600", "2 KiB, 921600, pty, 15.625 ms timer", 2048, 921600, Via::kCoarseTimer,
         false},
        {"silent-10s", "silent module, 10 s", 2048, 921600, Via::kSilent, false},
        {"silent-ser2net-10s", "silent module, 10 s, ser2net", 2048, 921600, Via::kSilentSer2net,
         false},
        {"pty-256-115200", "256 B, 115200, pty", 256, 115200, Via::kPty, true},
        {"pty-2k-115200", "2 KiB, 115200, pty", 2048, 115200, Via::kPty, true},
        {"pty-8k-115200", "8 KiB, 115200, pty", 8192, 115200, Via::kPty, true},
    };
    return rows;
}

constexpr double kFlashMs = 1.0;
constexpr double kSilentSeconds = 10.0;

struct Options {
    std::string build = ZEM_BUILD_DIR;
    std::string source = ZEM_SOURCE_DIR;
    int runs = 3;
    int slowRuns = 1;
    bool noSlow = false;
    std::vector<std::string> only;
    uint32_t streamBytes = 1u << 20;
    std::string record; // label of a section to append to bench/RESULTS.md
    bool keep = false;
};

// One run's figures; NaN where the row has none.
struct Sample {
    double efficiency = NAN, gapMedianMs = NAN, gapP99Ms = NAN, cpuPerMiB = NAN, coreShare = NAN;
    double wakeupsPerS = NAN; // voluntary context switches of all of zemcli's threads
    double actualS = NAN, idealS = NAN;
};

struct Outcome {
    std::vector<Sample> samples;
    std::vector<std::string> failures;
};

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string Shell(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return Trim(out);
}

struct Child {
    pid_t pid = -1;
    SteadyClock::time_point started;
};

// Starts argv in dir, standard output and error to the files given, with extra environment.
Child Spawn(const fs::path& dir, const std::vector<std::string>& argv, const fs::path& out,
            const fs::path& err, const std::vector<std::string>& env = {}) {
    Child c;
    c.started = SteadyClock::now();
    c.pid = fork();
    if (c.pid == 0) {
        // An interrupted benchmark leaves no simulator, zemcli or ser2net behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (chdir(dir.c_str()) != 0) _exit(126);
        for (const std::string& e : env)
            putenv(const_cast<char*>(e.c_str()));
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = err == out ? o : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return c;
}

// Waits for a child at most `limit`, then kills it. Exit code (-1 when killed) and its usage.
int Reap(Child& c, std::chrono::milliseconds limit, rusage* usage = nullptr) {
    if (c.pid <= 0) return -1;
    const auto until = SteadyClock::now() + limit;
    int status = 0;
    rusage ru{};
    for (;;) {
        pid_t r = wait4(c.pid, &status, WNOHANG, &ru);
        if (r == c.pid) break;
        if (SteadyClock::now() >= until) {
            kill(c.pid, SIGKILL);
            wait4(c.pid, &status, 0, &ru);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    c.pid = -1;
    if (usage) *usage = ru;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// CPU time of every thread of a running process so far, in seconds.
double ThreadCpuSeconds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream in(dir + "/" + e->d_name + "/schedstat");
            unsigned long long ns = 0;
            if (in >> ns) total += static_cast<double>(ns) / 1e9;
        }
        closedir(d);
    }
    return total;
}

// Voluntary context switches of every thread of a running process so far: each is a sleep that
// one of its threads woke from.
double ThreadWakeUps(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream in(dir + "/" + e->d_name + "/status");
            for (std::string line; std::getline(in, line);)
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                    total += std::stod(line.substr(line.find(':') + 1));
        }
        closedir(d);
    }
    return total;
}

class Bench {
public:
    Bench(const Options& o, fs::path work) : o_(o), work_(std::move(work)) {}

    Outcome Run(const Row& row, int runs) {
        Outcome out;
        // On a busy machine a run can miss the handshake's 50 ms window; one such run in a row
        // is run again, and counted in the table as failed.
        int retries = 1;
        for (int i = 0; i < runs; ++i) {
            std::string problem;
            const bool silent = row.via == Via::kSilent || row.via == Via::kSilentSer2net;
            Sample s = silent ? Silent(row, problem) : Stream(row, problem);
            if (!problem.empty()) {
                out.failures.push_back(problem);
                std::fprintf(stderr, "  %s run %d: FAILED: %s\n", row.name.c_str(), i + 1,
                             problem.c_str());
                if (retries-- > 0) --i;
                continue;
            }
            out.samples.push_back(s);
            if (silent)
                std::fprintf(stderr, "  %s run %d: %.2f %% of a core, %.1f wake-ups/s\n",
                             row.name.c_str(), i + 1, s.coreShare * 100, s.wakeupsPerS);
            else
                std::fprintf(stderr,
                             "  %s run %d: efficiency %.3f, gap %.3f/%.3f ms, %.3f CPU s/MiB, "
                             "%.1f s\n",
                             row.name.c_str(), i + 1, s.efficiency, s.gapMedianMs, s.gapP99Ms,
                             s.cpuPerMiB, s.actualS);
        }
        return out;
    }

private:
    std::string Bin(const char* rel) const { return (fs::path(o_.build) / rel).string(); }

    fs::path StreamFile(uint32_t record) {
        fs::path f = work_ / ("stream-" + std::to_string(record) + ".bin");
        if (!fs::exists(f)) {
            uint32_t n = std::max<uint32_t>(1, o_.streamBytes / record);
            std::string cmd = "'" + Bin("tools/zem-mkstream") + "' -q -o '" + f.string() +
                              "' --records " + std::to_string(record) + "x" + std::to_string(n) +
                              " --speed-record 1";
            if (std::system(cmd.c_str()) != 0) return {};
        }
        return f;
    }

    // Starts the simulator; its pseudo-terminal's path, or empty.
    std::string StartSim(Child& sim, const fs::path& dir, const fs::path& stream,
                         std::vector<std::string> extra) {
        std::vector<std::string> argv = {Bin("tools/zem-sim"), "--quiet",  "--summary",
                                         "sim.json",           "--linger", "500"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(stream.string());
        sim = Spawn(dir, argv, dir / "sim.out", dir / "sim.err");
        for (int i = 0; i < 500; ++i) {
            std::string s = ReadAll(dir / "sim.out");
            if (auto nl = s.find('\n'); nl != std::string::npos) return s.substr(0, nl);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }

    // The TLS rows' CA and server certificate, made once per benchmark by the tests' script.
    fs::path Certificates() {
        const fs::path certs = work_ / "certs";
        if (!fs::exists(certs / "server.pem")) {
            const std::string cmd = "bash '" + o_.source + "/tests/ipserial/make-test-certs.sh' '" +
                                    certs.string() + "' >/dev/null 2>&1";
            if (std::system(cmd.c_str()) != 0) return {};
        }
        return certs;
    }

    fs::path RunDir() {
        fs::path d = work_ / ("run-" + std::to_string(++runCount_));
        fs::create_directories(d);
        return d;
    }

    Sample Stream(const Row& row, std::string& problem) {
        Sample s;
        fs::path stream = StreamFile(row.record);
        if (stream.empty()) {
            problem = "zem-mkstream failed";
            return s;
        }
        fs::path dir = RunDir();
        Child sim;
        std::string pty =
            StartSim(sim, dir, stream, {"--pace", "--flash-latency", "1", "--timeout", "900"});
        if (pty.empty()) {
            problem = "zem-sim did not start";
            Reap(sim, std::chrono::milliseconds(0));
            return s;
        }
        zem::test::Ser2netServer ser2net;
        std::string port = pty;
        if (row.via == Via::kSer2net) {
            if (!ser2net.Start(dir.string(), pty)) problem = "ser2net did not start";
            port = "127.0.0.1:" + std::to_string(ser2net.Port());
        }
        std::vector<std::string> cliArgs = {
            Bin(row.host == Host::kReference ? "bench/zem-refhost" : "cli/zemcli")};
        if (row.via == Via::kSer2netTls) {
            const fs::path certs = Certificates();
            if (certs.empty()) {
                problem = "the test certificates could not be made";
                Reap(sim, std::chrono::milliseconds(0));
                return s;
            }
            const std::string c = certs.string() + "/";
            if (!ser2net.Start(dir.string(), pty,
                               "ssl(key=" + c + "server.key,cert=" + c + "server.pem)"))
                problem = "ser2net did not start";
            port = "tls://127.0.0.1:" + std::to_string(ser2net.Port());
            cliArgs.insert(cliArgs.end(), {"--ca", c + "ca.pem"});
        }
        std::vector<std::string> env;
        if (row.via == Via::kCoarseTimer)
            env.push_back("LD_PRELOAD=" + Bin("bench/libzem_coarse_timer.so"));
        cliArgs.insert(cliArgs.end(), {stream.string(), port, std::to_string(row.speed)});
        Child cli = Spawn(dir, cliArgs, dir / "zemcli.out", dir / "zemcli.err", env);
        rusage ru{};
        int code = Reap(cli, std::chrono::minutes(20), &ru);
        const double cliWall =
            std::chrono::duration<double>(SteadyClock::now() - cli.started).count();
        ser2net.Stop();
        // The simulator ends when the port closes; a run that failed early may leave it waiting.
        const auto until = SteadyClock::now() + std::chrono::seconds(5);
        while (SteadyClock::now() < until && ReadAll(dir / "sim.json").empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (sim.pid > 0) kill(sim.pid, SIGTERM);
        Reap(sim, std::chrono::seconds(5));

        nlohmann::json j = nlohmann::json::parse(ReadAll(dir / "sim.json"), nullptr, false);
        if (code != 0 || j.is_discarded() || j.value("result", "") != "pass") {
            problem = "zemcli exit " + std::to_string(code) + ", simulator " +
                      (j.is_discarded() ? std::string("gave no summary")
                                        : j.value("outcome", "?") + "/" + j.value("reason", "?")) +
                      " (" + dir.string() + ")";
            keepDirs_ = true;
            return s;
        }
        double idealS = 0;
        uint64_t payload = 0;
        for (const auto& r : j["records"]) {
            const double len = r["length"].get<double>();
            idealS += len * 10 / r["speed"].get<double>() + kFlashMs / 1000;
            payload += r["length"].get<uint64_t>();
        }
        s.idealS = idealS;
        s.actualS = j["stream_us"].get<double>() / 1e6;
        s.efficiency = idealS / s.actualS;
        if (j["ack_gap_us"].is_object()) {
            s.gapMedianMs = j["ack_gap_us"]["median"].get<double>() / 1000;
            s.gapP99Ms = j["ack_gap_us"]["p99"].get<double>() / 1000;
        }
        const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
        s.cpuPerMiB = cpu / (static_cast<double>(payload) / (1 << 20));
        s.wakeupsPerS = static_cast<double>(ru.ru_nvcsw) / cliWall;
        if (!o_.keep) fs::remove_all(dir);
        return s;
    }

    // A module that never answers: what waiting for it costs, once start-up is over.
    Sample Silent(const Row& row, std::string& problem) {
        Sample s;
        fs::path stream = StreamFile(2048);
        fs::path dir = RunDir();
        Child sim;
        std::string pty = StartSim(sim, dir, stream, {"--silent", "--timeout", "120"});
        if (pty.empty()) {
            problem = "zem-sim did not start";
            Reap(sim, std::chrono::milliseconds(0));
            return s;
        }
        zem::test::Ser2netServer ser2net;
        std::string port = pty;
        if (row.via == Via::kSilentSer2net) {
            if (!ser2net.Start(dir.string(), pty)) problem = "ser2net did not start";
            port = "127.0.0.1:" + std::to_string(ser2net.Port());
        }
        Child cli = Spawn(dir, {Bin("cli/zemcli"), stream.string(), port, "921600"},
                          dir / "zemcli.out", dir / "zemcli.err");
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double cpu0 = ThreadCpuSeconds(cli.pid);
        const double wake0 = ThreadWakeUps(cli.pid);
        const auto t0 = SteadyClock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(kSilentSeconds));
        const double cpu1 = ThreadCpuSeconds(cli.pid);
        const double wake1 = ThreadWakeUps(cli.pid);
        const double wall = std::chrono::duration<double>(SteadyClock::now() - t0).count();
        bool running = waitpid(cli.pid, nullptr, WNOHANG) == 0;
        kill(cli.pid, SIGKILL);
        Reap(cli, std::chrono::seconds(5));
        ser2net.Stop();
        kill(sim.pid, SIGTERM);
        Reap(sim, std::chrono::seconds(5));
        if (!running) {
            problem = "zemcli ended before the measurement did (" + dir.string() + ")";
            keepDirs_ = true;
            return s;
        }
        s.coreShare = (cpu1 - cpu0) / wall;
        s.wakeupsPerS = (wake1 - wake0) / wall;
        if (!o_.keep) fs::remove_all(dir);
        return s;
    }

public:
    bool keepDirs_ = false;

private:
    const Options& o_;
    fs::path work_;
    int runCount_ = 0;
};

double Median(std::vector<double> v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string Cell(double v, const char* fmt) {
    if (std::isnan(v)) return "";
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

struct Line {
    const Row* row;
    Sample median;
    size_t runs = 0;
    size_t failed = 0;
};

const std::vector<std::string> kHeads = {"row",       "efficiency", "gap median ms", "gap p99 ms",
                                         "CPU s/MiB", "core %",     "wake-ups/s",    "actual s",
                                         "ideal s",   "runs"};

std::vector<std::string> Cells(const Line& l) {
    const Sample& m = l.median;
    std::string runs = std::to_string(l.runs);
    if (l.failed) runs += " (" + std::to_string(l.failed) + " failed)";
    return {l.row->label,
            Cell(m.efficiency, "%.3f"),
            Cell(m.gapMedianMs, "%.3f"),
            Cell(m.gapP99Ms, "%.3f"),
            Cell(m.cpuPerMiB, "%.3f"),
            Cell(m.coreShare * 100, "%.2f"),
            Cell(m.wakeupsPerS, "%.0f"),
            Cell(m.actualS, "%.2f"),
            Cell(m.idealS, "%.2f"),
            runs};
}

std::string TextTable(const std::vector<Line>& lines) {
    std::vector<std::vector<std::string>> t = {kHeads};
    for (const Line& l : lines)
        t.push_back(Cells(l));
    std::vector<size_t> w(kHeads.size(), 0);
    for (const auto& r : t)
        for (size_t i = 0; i < r.size(); ++i)
            w[i] = std::max(w[i], r[i].size());
    std::string out;
    for (const auto& r : t) {
        for (size_t i = 0; i < r.size(); ++i) {
            std::string c = r[i];
            c.resize(w[i], ' ');
            out += (i ? "  " : "") + c;
        }
        out = Trim(out) + "\n";
    }
    return out;
}

std::string MarkdownTable(const std::vector<Line>& lines) {
    auto row = [](const std::vector<std::string>& cells) {
        std::string s = "|";
        for (const auto& c : cells)
            s += " " + c + " |";
        return s + "\n";
    };
    std::string out = row(kHeads);
    out += row(std::vector<std::string>(kHeads.size(), "---"));
    for (const Line& l : lines)
        out += row(Cells(l));
    return out;
}

std::string Machine(const Options& o) {
    std::string cpu = Shell("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-");
    while (!cpu.empty() && cpu.front() == ' ')
        cpu.erase(0, 1);
    std::string commit = Shell("git -C '" + o.source + "' rev-parse --short HEAD 2>/dev/null");
    if (!Shell("git -C '" + o.source + "' status --porcelain --untracked-files=no 2>/dev/null")
             .empty())
        commit += " (with local changes)";
    char date[64];
    std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::string load = Shell("cut -d' ' -f1-3 /proc/loadavg");
    return std::string(date) + ", commit " + commit + ", " +
           std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores (nproc), " + cpu +
           ", load average at start " + load;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"zem-bench: zemcli against zem-sim at the line's rate; prints the medians"};
    std::string names;
    for (const Row& r : Rows())
        names += (names.empty() ? "" : ", ") + r.name;
    app.add_option("--build", o.build, "Build folder with zemcli, zem-sim and the timer shim");
    app.add_option("--runs", o.runs, "Runs per row; the table shows medians")
        ->check(CLI::Range(1, 50));
    app.add_option("--slow-runs", o.slowRuns, "Runs per 115200 row")->check(CLI::Range(1, 50));
    app.add_flag("--no-slow", o.noSlow, "Skip the 115200 rows (about 90 s per run each)");
    app.add_option("--rows", o.only, "Only these rows: " + names)->delimiter(',');
    app.add_option("--stream-bytes", o.streamBytes, "Payload bytes per stream")
        ->check(CLI::Range(8192u, 64u << 20));
    app.add_option("--record", o.record,
                   "Append the table to bench/RESULTS.md under this heading (before, after, ...)");
    app.add_flag("--keep", o.keep, "Keep every run's folder (simulator summary, logs)");
    CLI11_PARSE(app, argc, argv);
    // Every run works in a folder of its own, so a relative build folder would name nothing there.
    o.build = fs::absolute(o.build).lexically_normal().string();

    for (const std::string& n : o.only)
        if (std::none_of(Rows().begin(), Rows().end(), [&](const Row& r) { return r.name == n; })) {
            std::fprintf(stderr, "zem-bench: no row %s (rows: %s)\n", n.c_str(), names.c_str());
            return 2;
        }
    for (const char* bin : {"cli/zemcli", "tools/zem-sim", "tools/zem-mkstream",
                            "bench/libzem_coarse_timer.so", "bench/zem-refhost"})
        if (!fs::exists(fs::path(o.build) / bin)) {
            std::fprintf(stderr, "zem-bench: %s/%s is missing; build it first (make bench)\n",
                         o.build.c_str(), bin);
            return 2;
        }

    char tmpl[] = "/tmp/zem-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("zem-bench: mkdtemp");
        return 2;
    }
    const fs::path work = tmpl;
    const std::string machine = Machine(o);
    std::fprintf(stderr, "zem-bench: %s\n", machine.c_str());

    Bench bench(o, work);
    std::vector<Line> lines;
    for (const Row& r : Rows()) {
        if (!o.only.empty() && std::find(o.only.begin(), o.only.end(), r.name) == o.only.end())
            continue;
        if (r.slow && o.noSlow) continue;
        if ((r.via == Via::kSer2net || r.via == Via::kSer2netTls) && !zem::test::FindSer2net()) {
            std::fprintf(stderr, "  %s: skipped, ser2net is not installed\n", r.name.c_str());
            continue;
        }
        std::fprintf(stderr, "%s\n", r.label.c_str());
        Outcome out = bench.Run(r, r.slow ? o.slowRuns : o.runs);
        Line l{&r, {}, out.samples.size(), out.failures.size()};
        auto med = [&](double Sample::*f) {
            std::vector<double> v;
            for (const Sample& s : out.samples)
                v.push_back(s.*f);
            return Median(v);
        };
        l.median = {med(&Sample::efficiency), med(&Sample::gapMedianMs), med(&Sample::gapP99Ms),
                    med(&Sample::cpuPerMiB),  med(&Sample::coreShare),   med(&Sample::wakeupsPerS),
                    med(&Sample::actualS),    med(&Sample::idealS)};
        lines.push_back(l);
    }

    std::printf("%s\n%s", machine.c_str(), TextTable(lines).c_str());
    std::printf(
        "efficiency = ideal / actual (ideal: the payload's line time at each record's speed "
        "plus 1 ms flash per record; actual: record 1 reaching the line to the last answer, "
        "as the simulator saw it); gap: from an answer to the next record reaching the line; "
        "medians of the runs\n");
    if (!o.record.empty()) {
        fs::path results = fs::path(o.source) / "bench" / "RESULTS.md";
        std::ofstream f(results, std::ios::app);
        f << "\n## " << o.record << "\n\n" << machine << "\n\n" << MarkdownTable(lines);
        std::fprintf(stderr, "zem-bench: table appended to %s\n", results.c_str());
    }
    if (!bench.keepDirs_ && !o.keep) fs::remove_all(work);
    bool failed = std::any_of(lines.begin(), lines.end(), [](const Line& l) { return !l.runs; });
    return failed ? 1 : 0;
}

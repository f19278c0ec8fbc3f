// zem-sim: plays a module's boot loader on a pseudo-terminal for one programming run.
#include "BootSim.h"
#include "Clock.h"
#include "Format.h"
#include "PtySpeed.h"
#include "StreamFile.h"
#include "TFPLib.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace zem::sim;

namespace {

const char kUsage[] =
    "Usage: zem-sim [options] STREAM_FILE\n"
    "\n"
    "Plays a module's boot loader on a new pseudo-terminal for one programming run of\n"
    "STREAM_FILE, then exits.\n"
    "\n"
    "Standard output: line 1 is the slave path alone (e.g. /dev/pts/7), flushed at once; when\n"
    "the run is over, one more line holds the JSON summary. Progress goes to standard error.\n"
    "\n"
    "Exit code: 0 when every record of the stream arrived byte for byte, 1 otherwise\n"
    "(including a time-out), 2 for a bad command line, stream file or pseudo-terminal.\n"
    "\n"
    "Records are numbered from 1 in file order. BYTE and numbers may be decimal or 0x hex.\n"
    "\n"
    "Handshake:\n"
    "  --skip-sync K         leave the first K sync bytes unanswered (default 0)\n"
    "  --nack-sync M         answer the next M sync bytes with 0x41 0x01 0x02 (a NACK with\n"
    "                        two diagnostic bytes) before linking (default 0)\n"
    "  --sync BYTE           sync byte to expect (default from the stream: 0x5A for boot\n"
    "                        type 3, else 0x55)\n"
    "  --link-ack BYTE       answer to the sync byte (default: the --ack byte)\n"
    "  --silent              answer nothing at all (a module that is off)\n"
    "  --sync-as-data        once linked, take any further sync byte as record data (by\n"
    "                        default each is answered until record data comes, unless record 1\n"
    "                        begins with the sync byte)\n"
    "Records:\n"
    "  --ack BYTE            answer to a good record (default 0xA5)\n"
    "  --readback R:W[:bad]  answer record R with 0xAA, then a read-back block of W words\n"
    "                        (words 0xA55A ^ (i * 0x9E37)), its check word (spoilt with :bad)\n"
    "                        and the --ack byte; repeatable\n"
    "  --nack R:BYTE[:D1,D2,...]  answer record R with BYTE and the diagnostic bytes D1...;\n"
    "                        the run then ends; repeatable\n"
    "  --silent-from R       take records from R on but never answer them\n"
    "  --expect-speed TEXT   the speed word must arrive as the programmer codes TEXT\n"
    "                        (\"921600\" -> 4, ...; \"115200\" -> the file's own value);\n"
    "                        default: not checked, only reported\n"
    "A record that differs from the file is answered with 0x45 and ends the run.\n"
    "Timing:\n"
    "  --pace                read no faster than the line's configured rate (speed/10 bytes\n"
    "                        per second, speed as set on the pseudo-terminal); an idle line\n"
    "                        earns no credit, so a late sender cannot catch up in a burst\n"
    "  --flash-latency MS    delay each record's answer by MS milliseconds (default 0),\n"
    "                        counted from the record's last byte, to a few microseconds\n"
    "  --answer-delay MS     every answer (to sync bytes and records) leaves MS milliseconds\n"
    "                        after what it answers: a far device server or a slow adapter\n"
    "  --byte-timed          send answers byte by byte, one character time (10 bits at the\n"
    "                        line's speed) apart, as a UART does; read-back blocks too\n"
    "  --timeout S           give up after S seconds in all (default 120)\n"
    "  --linger MS           once the last answer is out, wait at most MS milliseconds for\n"
    "                        the programmer to close the port before exiting (default 2000)\n"
    "  --runs N              serve N programming runs in a row on the same pseudo-terminal, each\n"
    "                        a fresh module; a run ends when the programmer closes the port or\n"
    "                        comes back for the next module (default 1). One summary line per\n"
    "                        run, as each ends; --summary FILE gets them all; --timeout is per "
    "run\n"
    "Output:\n"
    "  --summary FILE        also write the JSON summary line to FILE\n"
    "  --quiet               no progress on standard error\n"
    "  -h, --help            this text\n"
    "\n"
    "The run is over when the last record has been acknowledged, when a record was NACKed,\n"
    "when the programmer closes the port after having sent something, or at the time-out.\n"
    "\n"
    "Summary members: result (\"pass\"/\"fail\"), outcome (complete, nack, mismatch, silent,\n"
    "linked, waiting, no records), reason (done, client-closed, timeout, interrupted),\n"
    "elapsed_ms, stream_ok, linked, sync_byte, sync_bytes (sync bytes seen, unanswered ones\n"
    "included), sync_answered, sync_after_link (answered after the link),\n"
    "noise_bytes, records_total, records_seen (complete ones),\n"
    "records [{record, offset (file offset of its payload), length, received, speed (line\n"
    "speed in bit/s when its first byte arrived), match, answer (byte or null),\n"
    "first_mismatch}], speed_word_offset, speed_word (value received, or null), readbacks_sent,\n"
    "payload_match, bytes_received, extra_bytes,\n"
    "stream_us (record 1 reaching the line to the last answer written, or null), ack_gap_us\n"
    "(from each answer written to the next record reaching the line, i.e. its first byte read,\n"
    "or with --pace the line going busy with it: count, median, p99, max,\n"
    "total; null when no record followed an answer). Times in microseconds.\n";

std::atomic<bool> gInterrupted{false};

void OnSignal(int) {
    gInterrupted = true;
}

bool ParseNumber(const char* s, unsigned long max, unsigned long& out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s, &end, 0);
    if (errno || *end || v > max || *s == '-') return false;
    out = v;
    return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        size_t at = s.find(sep, from);
        parts.push_back(s.substr(from, at - from));
        if (at == std::string::npos) return parts;
        from = at + 1;
    }
}

struct Args {
    SimOptions sim;
    std::string stream;
    std::string summaryFile;
    std::string expectSpeed;
    bool pace = false;
    bool byteTimed = false;
    bool quiet = false;
    unsigned long timeoutS = 120;
    unsigned long lingerMs = 2000;
    unsigned long runs = 1;
    int64_t flashLatencyUs = 0; // applied here, finer than the loader's millisecond clock
};

int Usage(const char* problem) {
    std::fprintf(stderr, "zem-sim: %s\nTry zem-sim --help.\n", problem);
    return 2;
}

// Returns -1 to go on, else the exit code.
int ParseArgs(int argc, char** argv, Args& a) {
    for (int i = 1; i < argc; ++i) {
        std::string o = argv[i];
        auto value = [&](unsigned long max, unsigned long& out) {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], max, out)) return false;
            ++i;
            return true;
        };
        auto text = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        unsigned long v = 0;
        std::string t;
        if (o == "-h" || o == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (o == "--skip-sync" && value(0xFFFFFFFF, v)) {
            a.sim.skipSync = static_cast<uint32_t>(v);
        } else if (o == "--nack-sync" && value(0xFFFFFFFF, v)) {
            a.sim.nackSync = static_cast<uint32_t>(v);
        } else if (o == "--sync" && value(255, v)) {
            a.sim.syncByte = static_cast<int>(v);
        } else if (o == "--link-ack" && value(255, v)) {
            a.sim.linkAck = static_cast<int>(v);
        } else if (o == "--ack" && value(255, v)) {
            a.sim.ack = static_cast<uint8_t>(v);
        } else if (o == "--silent") {
            a.sim.silentHandshake = true;
        } else if (o == "--sync-until-data") {
            a.sim.syncUntilData = true;
        } else if (o == "--sync-as-data") {
            a.sim.syncUntilData = false;
        } else if (o == "--answer-delay" && value(3600000, v)) {
            a.sim.answerDelayMs = static_cast<uint32_t>(v);
        } else if (o == "--byte-timed") {
            a.byteTimed = true;
        } else if (o == "--silent-from" && value(0xFFFFFFFF, v) && v > 0) {
            a.sim.silentFrom = static_cast<uint32_t>(v);
        } else if (o == "--readback" && text(t)) {
            auto p = Split(t, ':');
            unsigned long r = 0, w = 0;
            if (p.size() < 2 || p.size() > 3 || !ParseNumber(p[0].c_str(), 0xFFFFFFFF, r) ||
                r == 0 || !ParseNumber(p[1].c_str(), 0xFFFFFFFF, w) ||
                (p.size() == 3 && p[2] != "bad"))
                return Usage("--readback wants R:W or R:W:bad");
            ReadBack rb;
            rb.words = static_cast<uint32_t>(w);
            rb.badCheck = p.size() == 3;
            a.sim.readBacks[static_cast<uint32_t>(r)] = rb;
        } else if (o == "--nack" && text(t)) {
            auto p = Split(t, ':');
            unsigned long r = 0, b = 0;
            if (p.size() < 2 || p.size() > 3 || !ParseNumber(p[0].c_str(), 0xFFFFFFFF, r) ||
                r == 0 || !ParseNumber(p[1].c_str(), 255, b))
                return Usage("--nack wants R:BYTE or R:BYTE:D1,D2,...");
            Nack n;
            n.byte = static_cast<uint8_t>(b);
            if (p.size() == 3 && !p[2].empty()) {
                for (const std::string& d : Split(p[2], ',')) {
                    unsigned long x = 0;
                    if (!ParseNumber(d.c_str(), 255, x)) return Usage("bad diagnostic byte");
                    n.diag.push_back(static_cast<uint8_t>(x));
                }
            }
            a.sim.nacks[static_cast<uint32_t>(r)] = n;
        } else if (o == "--expect-speed" && text(a.expectSpeed)) {
        } else if (o == "--pace") {
            a.pace = true;
        } else if (o == "--flash-latency" && value(3600000, v)) {
            a.flashLatencyUs = static_cast<int64_t>(v) * 1000;
        } else if (o == "--timeout" && value(86400, v) && v > 0) {
            a.timeoutS = v;
        } else if (o == "--linger" && value(3600000, v)) {
            a.lingerMs = v;
        } else if (o == "--runs" && value(1000000, v) && v > 0) {
            a.runs = v;
        } else if (o == "--summary" && text(a.summaryFile)) {
        } else if (o == "--quiet") {
            a.quiet = true;
        } else if (!o.empty() && o[0] == '-') {
            return Usage(("unknown option or bad value: " + o).c_str());
        } else if (a.stream.empty()) {
            a.stream = o;
        } else {
            return Usage("only one stream file");
        }
    }
    if (a.stream.empty()) return Usage("no stream file given");
    return -1;
}

class Pty {
public:
    ~Pty() {
        if (fd_ >= 0) close(fd_);
    }
    bool Open(std::string& slave) {
        fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) return false;
        const char* name = ptsname(fd_);
        if (!name) return false;
        slave = name;
        // Raw from the start (set through the master, it applies to the slave), so that
        // nothing is echoed back before the programmer configures the line itself.
        termios t{};
        if (tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            cfsetspeed(&t, B115200);
            tcsetattr(fd_, TCSANOW, &t);
        }
        return true;
    }
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};

using SteadyClock = std::chrono::steady_clock;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               SteadyClock::now().time_since_epoch())
        .count();
}

// Bytes the programmer wrote that this side has not read yet.
size_t Pending(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

// How the stream went on the line, as the module saw it: the programmer's share of each record
// is the gap between an answer leaving and the next record arriving.
class StreamTiming {
public:
    // After bytes were taken that reached the line at `t`: notes records that began.
    void Received(const BootSim& sim, int64_t t) {
        const auto& rs = sim.Records();
        while (started_ < rs.size() && rs[started_].received > 0) {
            if (started_ == 0)
                firstUs_ = t;
            else if (answered_ == started_ && answerUs_ >= 0)
                gapsUs_.push_back(t - answerUs_);
            answerUs_ = -1;
            ++started_;
        }
    }
    // After a write at `t` that left nothing queued: the answers so far are on the line.
    void AnswersOut(const BootSim& sim, int64_t t) {
        const auto& rs = sim.Records();
        bool any = false;
        while (answered_ < started_ && rs[answered_].answer >= 0) {
            ++answered_;
            any = true;
        }
        if (any) answerUs_ = lastAnswerUs_ = t;
    }
    std::string Json() const {
        std::string j = "\"stream_us\":";
        j += firstUs_ >= 0 && lastAnswerUs_ >= firstUs_
                 ? zem::Format("%lld", static_cast<long long>(lastAnswerUs_ - firstUs_))
                 : std::string("null");
        j += ",\"ack_gap_us\":";
        if (gapsUs_.empty()) return j + "null";
        std::vector<int64_t> g = gapsUs_;
        std::sort(g.begin(), g.end());
        // Nearest rank: the smallest gap that at least p of all gaps do not exceed.
        auto rank = [&](double p) {
            size_t k = static_cast<size_t>(std::ceil(p * static_cast<double>(g.size())));
            return static_cast<long long>(g[std::clamp<size_t>(k, 1, g.size()) - 1]);
        };
        long long total = 0;
        for (int64_t x : g)
            total += x;
        return j + zem::Format(
                       "{\"count\":%u,\"median\":%lld,\"p99\":%lld,\"max\":%lld,\"total\":%lld}",
                       static_cast<unsigned>(g.size()), rank(0.5), rank(0.99),
                       static_cast<long long>(g.back()), total);
    }

private:
    size_t started_ = 0;  // records whose first byte arrived
    size_t answered_ = 0; // records whose answer is out
    int64_t firstUs_ = -1, lastAnswerUs_ = -1;
    int64_t answerUs_ = -1; // the latest answer, until the next record begins
    std::vector<int64_t> gapsUs_;
};

struct Reporter {
    bool quiet;
    size_t records = 0;
    bool linked = false;
    void Update(const BootSim& sim) {
        if (quiet) return;
        if (!linked && sim.Linked()) {
            linked = true;
            std::fprintf(stderr, "zem-sim: linked after %u sync bytes\n", sim.SyncBytes());
        }
        const auto& rs = sim.Records();
        while (records < rs.size() && rs[records].received == rs[records].length) {
            const RecordSeen& r = rs[records++];
            std::fprintf(stderr, "zem-sim: record %u (%u bytes at 0x%08X) at %u bit/s, %s, ",
                         r.number, r.length, r.payloadStart, r.speed,
                         r.match ? "as in the file" : "DIFFERS from the file");
            if (r.answer < 0)
                std::fprintf(stderr, "no answer\n");
            else
                std::fprintf(stderr, "answered 0x%02X\n", r.answer);
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    Args a;
    // A loader answers every sync byte until record data comes: a late answer then never puts a
    // sync byte into record 1.
    a.sim.syncUntilData = true;
    if (int rc = ParseArgs(argc, argv, a); rc >= 0) return rc;

    std::vector<uint8_t> stream;
    if (!zem::ReadWholeFile(a.stream, stream)) return Usage("can not read the stream file");
    if (!a.expectSpeed.empty()) {
        if (a.expectSpeed == "115200") {
            zem::StreamWalk w = zem::WalkStream(stream.data(), stream.size());
            if (w.speedWordOffset + 2 <= stream.size())
                a.sim.expectSpeedWord = zem::Le16(stream.data() + w.speedWordOffset);
        } else {
            a.sim.expectSpeedWord = TFPLib::SpeedCode(a.expectSpeed.c_str());
        }
    }
    BootSim sim(stream, a.sim);
    if (!sim.StreamUsable()) return Usage(sim.StreamProblem().c_str());
    if (!a.quiet && !sim.StreamProblem().empty())
        std::fprintf(stderr, "zem-sim: note: %s\n", sim.StreamProblem().c_str());

    Pty pty;
    std::string slave;
    if (!pty.Open(slave)) {
        std::fprintf(stderr, "zem-sim: can not open a pseudo-terminal: %s\n", std::strerror(errno));
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);

    zem::Clock& clock = zem::SystemClock();
    const int fd = pty.Fd();
    uint32_t start = clock.NowMs();
    const uint32_t timeoutMs = static_cast<uint32_t>(a.timeoutS * 1000);
    // Paced waits are a byte or a few long: keep the kernel from stretching them.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    bool clientSeen = false;
    bool overSeen = false;
    uint32_t overAt = 0;
    // Pacing: the line carries bytes only while the programmer has some waiting, so credit
    // accrues from the moment bytes arrive on an idle line, not across the idle spell.
    bool lineIdle = true;
    double credit = 0;
    int64_t lastCreditUs = NowUs();
    int64_t busySinceUs = 0; // when the line last went busy: a record's arrival, when paced
    int64_t holdUntilUs = 0; // answers wait for the flash until then
    int64_t nextByteUs = 0;  // byte-timed answers: when the next byte may leave
    size_t complete = 0;     // records received whole
    StreamTiming timing;
    Reporter rep{a.quiet};
    std::string reason;

    // --runs: a run that ended with its programmer makes way for the next module.
    unsigned long runNo = 1;
    bool earlierFailed = false;
    std::string summaries;
    auto nextRun = [&](const char* why) {
        if (runNo >= a.runs) return false;
        rep.Update(sim);
        std::string line =
            sim.SummaryJson(zem::Format("\"reason\":\"%s\",\"elapsed_ms\":%u,\"run\":%lu,", why,
                                        clock.NowMs() - start, runNo) +
                            timing.Json());
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        summaries += line + "\n";
        if (!sim.Passed()) earlierFailed = true;
        if (!a.quiet)
            std::fprintf(stderr, "zem-sim: run %lu %s (%s, %s)\n", runNo,
                         sim.Passed() ? "pass" : "fail", sim.Outcome().c_str(), why);
        sim = BootSim(stream, a.sim);
        rep = Reporter{a.quiet};
        out.clear();
        clientSeen = overSeen = false;
        lineIdle = true;
        credit = 0;
        lastCreditUs = NowUs();
        busySinceUs = holdUntilUs = nextByteUs = 0;
        complete = 0;
        timing = StreamTiming{};
        start = clock.NowMs();
        ++runNo;
        return true;
    };

    for (;;) {
        uint32_t now = clock.NowMs();
        if (gInterrupted) {
            reason = "interrupted";
            break;
        }
        if (now - start >= timeoutMs) {
            reason = "timeout";
            break;
        }
        if (sim.Over() && out.empty()) {
            if (!overSeen) {
                overSeen = true;
                overAt = now;
            }
            if (now - overAt >= a.lingerMs) {
                if (nextRun("done")) continue;
                reason = "done";
                break;
            }
        }
        const uint32_t speed = PtyLineSpeed(fd);
        int64_t waitUs = 10000;
        size_t want = sizeof buf;
        bool watchIn = true;
        if (a.pace) {
            const int64_t t = NowUs();
            const double bytesPerUs = speed / 10.0 / 1e6;
            if (!lineIdle) credit += static_cast<double>(t - lastCreditUs) * bytesPerUs;
            lastCreditUs = t;
            // Credit is earned only while bytes wait, as the line would have carried them; the
            // bound only keeps a simulator that was kept off the processor from losing them.
            credit = std::min(credit, std::max(16.0, speed / 10.0 * 0.1));
            const size_t pending = lineIdle ? 0 : Pending(fd);
            if (!lineIdle && pending == 0) {
                lineIdle = true;
                credit = 0;
            }
            if (lineIdle) {
                want = 0; // wait for the first byte, then start the line's clock
            } else {
                want = credit >= 1 ? std::min(sizeof buf, static_cast<size_t>(credit)) : 0;
                if (!want) {
                    watchIn = false;
                    // Wake for a burst of up to half a millisecond, or for the last bytes.
                    const double target = std::clamp(static_cast<double>(pending), 1.0,
                                                     std::max(1.0, speed / 10.0 * 0.0005));
                    waitUs = bytesPerUs > 0
                                 ? std::max<int64_t>(1, static_cast<int64_t>(std::ceil(
                                                            (target - credit) / bytesPerUs)))
                                 : 10000;
                }
            }
        }
        uint32_t due = 0;
        if (sim.NextDue(due)) {
            const int64_t t = NowUs();
            int64_t dueUs = std::max<int64_t>(0, static_cast<int32_t>(due - now)) * 1000;
            if (holdUntilUs > t) dueUs = std::max(dueUs, holdUntilUs - t);
            waitUs = std::min(waitUs, dueUs);
        }
        // Byte-timed answers: the next byte may not leave before its character time is over.
        bool writeDue = !out.empty();
        if (a.byteTimed && writeDue) {
            const int64_t t = NowUs();
            if (nextByteUs > t) {
                writeDue = false;
                waitUs = std::min(waitUs, nextByteUs - t);
            }
        }
        pollfd p{fd, static_cast<short>((watchIn ? POLLIN : 0) | (writeDue ? POLLOUT : 0)), 0};
        timespec ts{static_cast<time_t>(waitUs / 1000000),
                    static_cast<long>(waitUs % 1000000) * 1000};
        int pr = ppoll(&p, 1, &ts, nullptr);
        if (pr < 0 && errno != EINTR) {
            reason = "poll error";
            break;
        }
        now = clock.NowMs();
        // Nobody has the slave open: before the programmer came that is normal; after, the
        // run is over once what it wrote last has been read.
        if (pr > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN) && Pending(fd) == 0) {
            if (clientSeen) {
                if (nextRun("client-closed")) continue;
                reason = "client-closed";
                break;
            }
            // Soon after the programmer opens the port its first sync byte wants an answer
            // within tens of milliseconds.
            usleep(2000);
            continue;
        }
        if (a.pace && lineIdle && pr > 0 && (p.revents & POLLIN)) {
            lineIdle = false;
            credit = 0;
            lastCreditUs = busySinceUs = NowUs();
            continue;
        }
        if (want && pr > 0 && (p.revents & POLLIN)) {
            ssize_t n = read(fd, buf, want);
            // The programmer came back for the next module before this run saw it close.
            if (n > 0 && sim.Over()) nextRun("next-run");
            if (n > 0) {
                const int64_t t = NowUs();
                clientSeen = true;
                credit -= static_cast<double>(n);
                // The speed as it is now: the programmer may have changed it during the poll,
                // before writing these bytes.
                sim.Receive(buf, static_cast<size_t>(n), now, PtyLineSpeed(fd));
                timing.Received(sim, a.pace ? busySinceUs : t);
                const auto& rs = sim.Records();
                const size_t before = complete;
                while (complete < rs.size() && rs[complete].received == rs[complete].length)
                    ++complete;
                if (complete != before) holdUntilUs = t + a.flashLatencyUs;
                rep.Update(sim);
            } else if (n < 0 && errno == EIO && clientSeen) {
                if (nextRun("client-closed")) continue;
                reason = "client-closed";
                break;
            }
        }
        if (NowUs() >= holdUntilUs) {
            size_t k = sim.TakeOutput(buf, sizeof buf, now);
            out.insert(out.end(), buf, buf + k);
        }
        if (!out.empty() && (!a.byteTimed || NowUs() >= nextByteUs)) {
            ssize_t w = write(fd, out.data(), a.byteTimed ? 1 : out.size());
            if (w > 0) out.erase(out.begin(), out.begin() + w);
            // One character is ten bits on the line: start, eight data, stop.
            if (w > 0 && a.byteTimed)
                nextByteUs =
                    NowUs() + std::max<int64_t>(1, 10000000 / std::max(1u, PtyLineSpeed(fd)));
            if (out.empty() && !sim.NextDue(due)) timing.AnswersOut(sim, NowUs());
        }
    }
    rep.Update(sim);

    const uint32_t elapsed = clock.NowMs() - start;
    std::string json = sim.SummaryJson(
        zem::Format("\"reason\":\"%s\",\"elapsed_ms\":%u,", reason.c_str(), elapsed) +
        timing.Json());
    std::printf("%s\n", json.c_str());
    std::fflush(stdout);
    if (!a.summaryFile.empty()) {
        std::FILE* f = std::fopen(a.summaryFile.c_str(), "wb");
        bool ok = f && std::fprintf(f, "%s%s\n", summaries.c_str(), json.c_str()) >= 0;
        if (f && std::fclose(f) != 0) ok = false;
        if (!ok) {
            std::fprintf(stderr, "zem-sim: can not write %s\n", a.summaryFile.c_str());
            return 2;
        }
    }
    if (!a.quiet)
        std::fprintf(stderr, "zem-sim: %s (%s, %s)\n", sim.Passed() ? "pass" : "fail",
                     sim.Outcome().c_str(), reason.c_str());
    return sim.Passed() && !earlierFailed ? 0 : 1;
}

// zem-sim end to end: the engine programs the simulator over a pseudo-terminal, through a
// minimal channel kind of this test's own. Linux only.
#include "StreamFile.h"
#include "TChannel.h"
#include "TFPLib.h"
#include "TestDir.h"
#include "Tick.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

std::string SourceFile(const std::string& rel) {
    const char* src = std::getenv("ZEM_SOURCE_DIR");
    return std::string(src ? src : ZEM_SOURCE_DIR_FALLBACK) + "/" + rel;
}

// A local serial port on a pseudo-terminal, with just what this test needs.
class TPtyClient : public TChannel {
public:
    explicit TPtyClient(const std::string& path) : TChannel(0, "PTY", 0) {
        kind = 0x7F;
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, B115200);
        tcsetattr(fd_, TCSANOW, &t);
        thread_ = std::thread([this] { Service(); });
        inited = true;
    }
    ~TPtyClient() override {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    int SetSpeed(const char* text) override {
        const std::pair<const char*, speed_t> rates[] = {
            {"9600", B9600},     {"19200", B19200},   {"38400", B38400},   {"57600", B57600},
            {"115200", B115200}, {"230400", B230400}, {"460800", B460800}, {"921600", B921600}};
        for (const auto& [name, rate] : rates) {
            if (std::strcmp(text, name) != 0) continue;
            termios t{};
            if (tcgetattr(fd_, &t) != 0 || cfsetspeed(&t, rate) != 0) return -1;
            return tcsetattr(fd_, TCSANOW, &t) == 0 ? 0 : -1;
        }
        return -1;
    }
    int SetFormat(const char*) override { return 0; }
    int SetFlow(const char*) override { return 0; }

private:
    void Service() {
        RingBlock* r = Rings();
        while (!stop_) {
            bool busy = false;
            const uint8_t* out = nullptr;
            if (uint32_t n = r->TxPiece(&out)) {
                ssize_t k = write(fd_, out, n);
                if (k > 0) r->TxConsumed(static_cast<uint32_t>(k)), busy = true;
            }
            uint8_t* in = nullptr;
            if (uint32_t room = r->RxRoom(&in)) {
                ssize_t k = read(fd_, in, room);
                if (k > 0) r->RxProduced(static_cast<uint32_t>(k)), busy = true;
            }
            if (!busy) zem::SleepMs(1);
        }
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// zem-sim as a child process: the first line of its output is the slave path, the last its
// JSON summary.
class SimProcess {
public:
    bool Start(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        args.insert(args.begin(), ZEM_SIM_EXE);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, ZEM_SIM_EXE, &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            return false;
        }
        out_ = fdopen(out[0], "r");
        char line[256] = {};
        if (!out_ || !std::fgets(line, sizeof line, out_)) return false;
        slave_ = line;
        while (!slave_.empty() && slave_.back() == '\n')
            slave_.pop_back();
        return slave_.rfind("/dev/", 0) == 0;
    }
    // Waits for the end of the run; returns the exit code.
    int Finish() {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, out_)) > 0)
            rest_.append(buf, n);
        std::fclose(out_);
        out_ = nullptr;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_) std::fclose(out_);
    }
    const std::string& Slave() const { return slave_; }
    const std::string& Summary() const { return rest_; }

private:
    pid_t pid_ = -1;
    std::FILE* out_ = nullptr;
    std::string slave_;
    std::string rest_;
};

bool Has(const std::string& json, const std::string& member) {
    return json.find(member) != std::string::npos;
}

void NoStatus(uint8_t, int32_t) {}

TEST(Sample, IsAValidVersion2StreamWithTheSpeedWordInTheThirdRecord) {
    std::vector<uint8_t> image;
    ASSERT_TRUE(zem::ReadWholeFile(SourceFile("tools/samples/sample.bin"), image));
    zem::HeaderCheck check = zem::CheckStreamFileFully(SourceFile("tools/samples/sample.bin"));
    EXPECT_TRUE(check.valid) << check.status;
    EXPECT_EQ(zem::StreamVersionOf(check.header), 2);
    EXPECT_EQ(zem::Le16(&check.header[zem::hdr::kBootType]), 0);
    zem::StreamWalk w = zem::WalkStream(image.data(), image.size());
    EXPECT_TRUE(w.endsExactly);
    EXPECT_GE(w.records.size(), 4u);
    EXPECT_EQ(w.speedRecord, 2);
    EXPECT_LT(w.speedWordOffset + 1, w.records[2].end);
}

TEST(ZemSim, ProgramsTheSampleAt921600WithOneReadBack) {
    ScopedTestDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--readback", "2:8", "--expect-speed", "921600", "--quiet", "--summary",
                           dir.File("summary.json"), SourceFile("tools/samples/sample.bin")}));
    {
        TPtyClient port(sim.Slave());
        ASSERT_TRUE(port.IsInited());
        TFPLib fpl(20, sim.Slave().c_str(), &port, "921600", NoStatus);
        EXPECT_FALSE(fpl.Program(SourceFile("tools/samples/sample.bin").c_str()));
    }
    EXPECT_EQ(sim.Finish(), 0);
    const std::string& json = sim.Summary();
    EXPECT_TRUE(Has(json, "\"result\":\"pass\"")) << json;
    EXPECT_TRUE(Has(json, "\"outcome\":\"complete\"")) << json;
    EXPECT_TRUE(Has(json, "\"readbacks_sent\":1")) << json;
    EXPECT_TRUE(Has(json, "\"speed_word\":4")) << json;
    EXPECT_TRUE(Has(json, "\"sync_bytes\":1,")) << json;
    for (int r = 1; r <= 6; ++r) {
        size_t at = json.find("{\"record\":" + std::to_string(r) + ",");
        ASSERT_NE(at, std::string::npos) << r;
        std::string record = json.substr(at, json.find('}', at) - at);
        EXPECT_TRUE(Has(record, r <= 3 ? "\"speed\":115200," : "\"speed\":921600,")) << record;
    }
    EXPECT_EQ(ReadFileBytes("summary.json"), json);
    std::string dump = TFPLib::DumpFileName(sim.Slave());
    EXPECT_EQ(ReadFileBytes(dump).size(), 16u) << dump;
}

TEST(ZemSim, NackedRecordEndsBothSides) {
    ScopedTestDir dir;
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start({"--nack", "2:0x41:1,2", "--quiet", SourceFile("tools/samples/sample.bin")}));
    {
        TPtyClient port(sim.Slave());
        TFPLib fpl(20, "PTY", &port, "115200", NoStatus);
        EXPECT_TRUE(fpl.Program(SourceFile("tools/samples/sample.bin").c_str()));
    }
    EXPECT_EQ(sim.Finish(), 1);
    EXPECT_TRUE(Has(sim.Summary(), "\"outcome\":\"nack\"")) << sim.Summary();
    EXPECT_TRUE(Has(sim.Summary(), "\"records_seen\":2,")) << sim.Summary();
    std::string log = ReadFileBytes("LocalLog.txt");
    EXPECT_NE(log.find("Debug  DbgAnsw: 0x02\r\n"), std::string::npos);
}

// Paced reads take at least the line time of the payload plus the flash latency per record.
TEST(ZemSim, PacingAndFlashLatencyTakeTheirTime) {
    ScopedTestDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(
        {"--pace", "--flash-latency", "50", "--quiet", SourceFile("tools/samples/sample.bin")}));
    std::vector<uint8_t> image;
    ASSERT_TRUE(zem::ReadWholeFile(SourceFile("tools/samples/sample.bin"), image));
    zem::StreamWalk w = zem::WalkStream(image.data(), image.size());
    const uint32_t start = zem::TickCountMs();
    {
        TPtyClient port(sim.Slave());
        TFPLib fpl(0, "PTY", &port, "115200", NoStatus);
        EXPECT_FALSE(fpl.Program(SourceFile("tools/samples/sample.bin").c_str()));
    }
    const uint32_t elapsed = zem::TickCountMs() - start;
    EXPECT_EQ(sim.Finish(), 0) << sim.Summary();
    const uint32_t lineMs = static_cast<uint32_t>(w.payloadBytes * 10 * 1000 / 115200);
    EXPECT_GE(elapsed, lineMs * 9 / 10 + 50 * w.records.size()) << "line time " << lineMs;
}

// A number member of the summary, the first one with that name after `after`.
long long Member(const std::string& json, const std::string& name, const std::string& after = "") {
    size_t from = after.empty() ? 0 : json.find(after);
    size_t at = from == std::string::npos ? from : json.find("\"" + name + "\":", from);
    if (at == std::string::npos) return -1;
    return std::strtoll(json.c_str() + at + name.size() + 3, nullptr, 10);
}

// The paced line carries bytes only while the sender has some waiting: a sender that pauses
// before each record gets no burst back for the pause, and the pauses show as the gaps between
// an answer and the next record. So the stream takes at least its line time, its flash time and
// its gaps.
TEST(ZemSim, PausesBeforeRecordsShowAsGapsAndAreNotMadeUp) {
    std::vector<uint8_t> image;
    ASSERT_TRUE(zem::ReadWholeFile(SourceFile("tools/samples/sample.bin"), image));
    zem::StreamWalk w = zem::WalkStream(image.data(), image.size());
    SimProcess sim;
    ASSERT_TRUE(sim.Start(
        {"--pace", "--flash-latency", "1", "--quiet", SourceFile("tools/samples/sample.bin")}));
    int fd = open(sim.Slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
    auto send = [fd](const uint8_t* p, size_t n) {
        while (n > 0) {
            ssize_t k = write(fd, p, n);
            if (k <= 0) return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    };
    auto answer = [fd] {
        pollfd p{fd, POLLIN, 0};
        uint8_t b = 0;
        return poll(&p, 1, 10000) == 1 && read(fd, &b, 1) == 1 ? int{b} : -1;
    };
    const uint8_t sync = 0x55;
    ASSERT_TRUE(send(&sync, 1));
    ASSERT_EQ(answer(), 0xA5);
    for (size_t i = 0; i < w.records.size(); ++i) {
        if (i > 0) zem::SleepMs(20);
        const zem::StreamRecord& r = w.records[i];
        ASSERT_TRUE(send(image.data() + r.payloadStart, r.count + 1u));
        ASSERT_EQ(answer(), 0xA5) << "record " << i + 1;
    }
    close(fd);
    EXPECT_EQ(sim.Finish(), 0) << sim.Summary();
    const std::string& json = sim.Summary();
    EXPECT_EQ(Member(json, "count", "\"ack_gap_us\""), static_cast<long long>(w.records.size() - 1))
        << json;
    EXPECT_GE(Member(json, "median", "\"ack_gap_us\""), 20000) << json;
    const long long gaps = Member(json, "total", "\"ack_gap_us\"");
    const double lineUs = static_cast<double>(w.payloadBytes) * 10 * 1e6 / 115200;
    // A microsecond of rounding per timestamp.
    const double least = lineUs + 1000.0 * static_cast<double>(w.records.size()) +
                         static_cast<double>(gaps) - 4.0 * static_cast<double>(w.records.size());
    EXPECT_GE(static_cast<double>(Member(json, "stream_us")), least) << json;
}

// A programmer that sends a few sync bytes and goes away: the simulator notices and reports.
TEST(ZemSim, ClientThatHangsUp) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start(
        {"--silent", "--quiet", "--timeout", "60", SourceFile("tools/samples/sample.bin")}));
    const uint32_t start = zem::TickCountMs();
    {
        int fd = open(sim.Slave().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        ASSERT_EQ(write(fd, "UUxU", 4), 4);
        zem::SleepMs(200);
        close(fd);
    }
    EXPECT_EQ(sim.Finish(), 1);
    EXPECT_LT(zem::TickCountMs() - start, 30000u) << "ended by the hang-up, not the time-out";
    const std::string& json = sim.Summary();
    EXPECT_TRUE(Has(json, "\"reason\":\"client-closed\"")) << json;
    EXPECT_TRUE(Has(json, "\"sync_bytes\":3,")) << json;
    EXPECT_TRUE(Has(json, "\"noise_bytes\":1,")) << json;
    EXPECT_TRUE(Has(json, "\"linked\":false")) << json;
}

} // namespace

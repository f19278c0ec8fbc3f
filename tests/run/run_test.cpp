#include "Gang.h"
#include "Paths.h"
#include "Priority.h"
#include "ProgrammingRun.h"
#include "ResultsLog.h"
#include "StreamFile.h"
#include "TestDir.h"
#include "Texts.h"
#include "Treport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>

using Strings = std::vector<std::string>;

namespace {

void Put16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

// A valid stream: header and one record of count 0.
std::string MakeStream() {
    std::string s(78, '\0');
    Put16(s, 0, 78);
    std::memcpy(&s[2], "SW 1", 4);
    Put16(s, 66, 1);
    Put16(s, 68, 2);
    s[70] = 0x12;
    zem::HeaderBytes b{};
    std::memcpy(b.data(), s.data(), b.size());
    Put16(s, 74, zem::HeaderChecksum(b));
    return s + std::string("\0\0\x5A", 3);
}

// What a fake module on a port does during Program.
struct Behaviour {
    bool fails = false;
    bool readBack = false;      // code 5, and the dump file written
    bool readBackFails = false; // code 5, and no dump saved (its check word was wrong)
    bool waitForAbort = false;  // a module that never comes: runs until aborted
};

// Channels and protocol replaced; one behaviour per port name.
struct Fakes {
    std::map<std::string, Behaviour> ports;
    Strings unopenable;
    std::atomic<int> programs{0};

    class Runner : public zem::ProgramRunner {
    public:
        Runner(Fakes& f, std::string port, TFPLibCallback cb)
            : f_(f), port_(std::move(port)), cb_(cb) {}
        bool Program(const std::string&) override {
            ++f_.programs;
            auto found = f_.ports.find(port_); // read only: the runs share the map
            Behaviour b = found == f_.ports.end() ? Behaviour{} : found->second;
            cb_(1, 0);
            if (b.waitForAbort) {
                // The countdown keeps coming while the handshake waits, as the protocol's does.
                while (!aborted_) {
                    cb_(8, 50);
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                return true;
            }
            cb_(2, 100);
            cb_(3, 50);
            if (b.readBack) {
                cb_(5, 0);
                WriteFileBytes(TFPLib::DumpFileName(port_), "dump of " + port_);
                saved_.push_back(TFPLib::DumpFileName(port_));
            }
            if (b.readBackFails) {
                cb_(5, 0);
                cb_(7, 100);
                return true;
            }
            if (b.fails) {
                cb_(7, 100);
                return true;
            }
            cb_(4, 100);
            return aborted_;
        }
        void Abort() override { aborted_ = true; }
        std::vector<std::string> SavedDumps() const override { return saved_; }

    private:
        Fakes& f_;
        std::string port_;
        TFPLibCallback cb_;
        std::atomic<bool> aborted_{false};
        std::vector<std::string> saved_;
    };

    zem::RunServices Services() {
        zem::RunServices s;
        s.openChannel = [this](const std::string& port, int32_t, const zem::TlsTrust&,
                               std::string*) -> TChannel* {
            for (const auto& u : unopenable)
                if (u == port) return nullptr;
            return new TChannel(0, "FAKE", 0);
        };
        s.freeChannel = [](TChannel* c) { delete c; };
        s.newRunner = [this](int32_t, const std::string& port, TChannel*, const std::string&,
                             TFPLibCallback cb) -> std::unique_ptr<zem::ProgramRunner> {
            return std::make_unique<Runner>(*this, port, cb);
        };
        return s;
    }
};

// Every gang event, per port, in the order each port saw it.
class Recorder : public zem::GangEvents {
public:
    explicit Recorder(size_t ports) : events(ports), results(ports) {}
    void RunStarting(size_t slot, unsigned n) override {
        events[slot].push_back("start " + std::to_string(n));
    }
    void Status(size_t slot, const std::string& t) override {
        events[slot].push_back("status " + t);
    }
    void Progress(size_t slot, int code, int32_t v) override {
        if (code < 8) events[slot].push_back("progress " + std::to_string(v));
    }
    void Message(size_t slot, const std::string& l) override {
        events[slot].push_back("message " + l);
    }
    void Result(size_t slot, const zem::RunResult& r, const zem::Tally& t) override {
        events[slot].push_back("result " + std::to_string(r.exitCode));
        results[slot].push_back(r);
        lastTally[slot] = t;
    }
    std::vector<Strings> events;
    std::vector<std::vector<zem::RunResult>> results;
    std::map<size_t, zem::Tally> lastTally;
};

struct GangFixture {
    ScopedTestDir dir;
    Fakes fakes;
    std::string stream = "module.bin";
    GangFixture() { WriteFileBytes(dir.File(stream), MakeStream()); }
    zem::GangRequest Request(Strings ports, unsigned count = 1) {
        zem::GangRequest r;
        r.stream = stream;
        r.speed = "921600";
        r.ports = std::move(ports);
        r.count = count;
        r.numbered = count != 1;
        return r;
    }
};

} // namespace

TEST(GangRun, EachPortRunsItsOwnModuleAndTheWorstFailureDecides) {
    GangFixture fx;
    fx.fakes.ports["P3"].fails = true;
    fx.fakes.ports["P2"].readBack = true;
    Recorder rec(4);
    zem::Gang gang(fx.Request({"P1", "P2", "P3", "P4"}), fx.fakes.Services(), rec);
    zem::GangSummary s = gang.Run();

    EXPECT_EQ(s.exitCode, 7);
    EXPECT_EQ(s.total.runs, 4u);
    EXPECT_EQ(s.total.programmed, 3u);
    EXPECT_EQ(s.total.failed, 1u);
    EXPECT_FALSE(s.aborted);
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        bool failing = i == 2;
        ASSERT_EQ(rec.results[i].size(), 1u);
        EXPECT_EQ(rec.results[i][0].port, s.ports[i]);
        EXPECT_EQ(rec.results[i][0].exitCode, failing ? 7 : 0);
        EXPECT_EQ(s.tallies[i].exitCode, failing ? 7 : 0);
        const Strings& ev = rec.events[i];
        EXPECT_EQ(ev.front(), "start 1");
        EXPECT_EQ(ev.back(), failing ? "result 7" : "result 0");
        // Each port's own story, not its neighbours'.
        auto has = [&](const std::string& e) {
            return std::find(ev.begin(), ev.end(), e) != ev.end();
        };
        EXPECT_EQ(has("status Error, module not programmed"), failing);
        EXPECT_EQ(has("message OK"), !failing);
        EXPECT_EQ(has("status Reading..."), i == 1);
    }
    // A single run keeps the protocol's own dump name.
    EXPECT_EQ(rec.results[1][0].dumps, Strings{"P2_Read.bin"});
}

TEST(GangRun, APortThatCannotBeOpenedDoesNotStopTheOthers) {
    GangFixture fx;
    fx.fakes.unopenable = {"BAD"};
    Recorder rec(3);
    zem::Gang gang(fx.Request({"P1", "BAD", "P2"}, 2), fx.fakes.Services(), rec);
    zem::GangSummary s = gang.Run();
    EXPECT_EQ(s.exitCode, 5);
    EXPECT_EQ(s.tallies[0].programmed, 2u);
    EXPECT_EQ(s.tallies[2].programmed, 2u);
    // Its loop ends at once: the next run would fail alike.
    EXPECT_EQ(s.tallies[1].runs, 1u);
    EXPECT_EQ(s.tallies[1].exitCode, 5);
    EXPECT_EQ(s.last[1].status, "Can not open BAD");
}

TEST(GangRun, LoopKeepsEveryModulesDump) {
    GangFixture fx;
    fx.fakes.ports["P1"].readBack = true;
    Recorder rec(1);
    zem::Gang gang(fx.Request({"P1"}, 3), fx.fakes.Services(), rec);
    zem::GangSummary s = gang.Run();
    EXPECT_EQ(s.exitCode, 0);
    EXPECT_EQ(s.tallies[0].programmed, 3u);
    Strings dumps;
    for (const auto& r : rec.results[0])
        dumps.insert(dumps.end(), r.dumps.begin(), r.dumps.end());
    EXPECT_EQ(dumps, (Strings{"P1_Read_1.bin", "P1_Read_2.bin", "P1_Read_3.bin"}));
    for (const auto& d : dumps)
        EXPECT_EQ(ReadFileBytes(fx.dir.File(d)), "dump of P1") << d;
    EXPECT_FALSE(zem::FileExists(fx.dir.File("P1_Read.bin")));
}

// A read-back that was not saved leaves the previous module's file under the protocol's name: it
// is neither claimed nor renamed as this module's dump.
TEST(GangRun, ALoopKeepsOnlyTheDumpsItsRunsSaved) {
    GangFixture fx;
    fx.fakes.ports["P1"].readBackFails = true;
    WriteFileBytes(fx.dir.File("P1_Read.bin"), "earlier module");
    Recorder rec(1);
    zem::Gang gang(fx.Request({"P1"}, 2), fx.fakes.Services(), rec);
    zem::GangSummary s = gang.Run();
    EXPECT_EQ(s.exitCode, 7);
    ASSERT_EQ(rec.results[0].size(), 2u);
    for (const auto& r : rec.results[0])
        EXPECT_TRUE(r.dumps.empty()) << r.runNumber;
    EXPECT_EQ(ReadFileBytes(fx.dir.File("P1_Read.bin")), "earlier module");
    EXPECT_FALSE(zem::FileExists(fx.dir.File("P1_Read_1.bin")));
}

TEST(GangRun, AbortStopsEveryRunAndEveryLoop) {
    GangFixture fx;
    for (const char* p : {"P1", "P2", "P3"})
        fx.fakes.ports[p].waitForAbort = true;
    Recorder rec(3);
    zem::GangRequest req = fx.Request({"P1", "P2", "P3"}, 0); // until aborted
    zem::Gang gang(std::move(req), fx.fakes.Services(), rec);
    std::thread ctrlC([&] {
        while (fx.fakes.programs < 3)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        gang.Abort(); // as Ctrl-C does
    });
    zem::GangSummary s = gang.Run();
    ctrlC.join();
    EXPECT_TRUE(s.aborted);
    EXPECT_EQ(s.exitCode, 7);
    EXPECT_EQ(s.total.runs, 3u);
    EXPECT_EQ(s.total.aborted, 3u);
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(rec.results[i].size(), 1u);
        EXPECT_TRUE(rec.results[i][0].aborted);
        EXPECT_EQ(zem::ResultsLog::OutcomeName(rec.results[i][0]), "aborted");
    }
}

TEST(GangRun, ExitCodeOrder) {
    struct Row {
        int a, b, worst;
    };
    const Row rows[] = {{0, 0, 0}, {0, 7, 7}, {7, 5, 5}, {5, 3, 3}, {3, 4, 4},
                        {4, 7, 4}, {5, 0, 5}, {7, 3, 3}, {4, 5, 4}};
    for (const Row& r : rows) {
        EXPECT_EQ(zem::MostSerious(r.a, r.b), r.worst) << r.a << " " << r.b;
        EXPECT_EQ(zem::MostSerious(r.b, r.a), r.worst) << r.b << " " << r.a;
    }
}

TEST(ProgrammingRun, AbortBeforeTheProtocolExistsStopsItAtItsStart) {
    GangFixture fx;
    fx.fakes.ports["P1"].waitForAbort = true;
    struct Events : zem::RunEvents {
        zem::ProgrammingRun* run = nullptr;
        void Status(const std::string&) override {}
        void Progress(int, int32_t) override {}
        void Message(const std::string&) override {}
        void Result(const zem::RunResult&) override {}
        zem::StreamVerdict CheckStream(const std::string& path) override {
            run->Abort(); // the window closed during the header check
            return RunEvents::CheckStream(path);
        }
    } events;
    zem::RunRequest req{fx.stream, "P1", "115200"};
    zem::ProgrammingRun run(req, fx.fakes.Services(), events);
    events.run = &run;
    // A module that never comes: only the abort already given ends the run.
    zem::RunResult r = run.Execute();
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_TRUE(r.aborted);
}

TEST(ResultsLog, OneCompleteLinePerRun) {
    ScopedTestDir dir;
    WriteFileBytes(dir.File("s.bin"), "123456789");
    EXPECT_EQ(zem::FileCrc32("s.bin"), "CBF43926"); // the CRC-32 check value
    zem::ResultsLog log("results.jsonl");
    ASSERT_TRUE(log.Writable());
    zem::RunResult r;
    r.outcome = zem::RunEnd::Programmed;
    r.exitCode = 0;
    r.status = "Program Complete";
    r.port = "COM3";
    r.stream = dir.File("s.bin");
    r.runNumber = 2;
    r.elapsedMs = 1234;
    r.dumps = {"COM3_Read_2.bin"};
    ASSERT_TRUE(log.Append(r));
    r.outcome = zem::RunEnd::PortNotOpened;
    r.exitCode = 5;
    r.dumps.clear();
    ASSERT_TRUE(log.Append(r));
    std::istringstream in(ReadFileBytes("results.jsonl"));
    std::vector<nlohmann::json> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(nlohmann::json::parse(l));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["port"], "COM3");
    EXPECT_EQ(lines[0]["run"], 2);
    EXPECT_EQ(lines[0]["stream"], "s.bin");
    EXPECT_EQ(lines[0]["stream_crc32"], "CBF43926");
    EXPECT_EQ(lines[0]["outcome"], "programmed");
    EXPECT_EQ(lines[0]["exit_code"], 0);
    EXPECT_EQ(lines[0]["status"], "Program Complete");
    EXPECT_EQ(lines[0]["duration_ms"], 1234);
    EXPECT_EQ(lines[0]["dumps"], nlohmann::json::array({"COM3_Read_2.bin"}));
    EXPECT_EQ(lines[0]["time"].get<std::string>().size(), 24u);
    EXPECT_EQ(lines[1]["outcome"], "port not opened");
    EXPECT_FALSE(zem::ResultsLog("no-such-dir/x.jsonl").Writable());
}

TEST(ProcessPriority, RaisedWhileAnyThreadHoldsIt) {
    EXPECT_EQ(zem::ProcessPriorityHolders(), 0);
    zem::SetProcessPriorityHigh();
    zem::SetProcessPriorityHigh(); // one hold per thread, however often it asks
    EXPECT_EQ(zem::ProcessPriorityHolders(), 1);
    std::atomic<int> step{0};
    std::thread other([&] {
        zem::SetProcessPriorityHigh();
        step = 1;
        while (step != 2)
            std::this_thread::yield();
        zem::SetProcessPriorityNormal();
    });
    while (step != 1)
        std::this_thread::yield();
    EXPECT_EQ(zem::ProcessPriorityHolders(), 2);
    zem::SetProcessPriorityNormal();
    zem::SetProcessPriorityNormal(); // a second drop takes nothing from the other thread
    EXPECT_EQ(zem::ProcessPriorityHolders(), 1);
    step = 2;
    other.join();
    EXPECT_EQ(zem::ProcessPriorityHolders(), 0);
}

TEST(TraceFile, RecordsOfParallelRunsStayWholeAndNameTheirPort) {
    ScopedTestDir dir;
    constexpr int kRecords = 300;
    std::vector<std::thread> threads;
    for (const char* port : {"COM1", "COM2", "COM3"}) {
        threads.emplace_back([port] {
            zem::ScopedReportPort label(port);
            TReport report(20, port);
            std::string body(200, port[3]);
            for (int i = 0; i < kRecords; ++i)
                report.Log(0, body);
        });
    }
    for (auto& t : threads)
        t.join();
    TReport unlabelled(20, "X");
    unlabelled.Log(0, "after");
    std::string all = ReadFileBytes(TReport::kFileName);
    std::map<std::string, int> counts;
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        std::string line = all.substr(at, end - at);
        at = end + 2;
        if (line.rfind("Log COM", 0) != 0) continue; // the constructor's own Debug records
        std::string port = line.substr(4, 4);
        EXPECT_EQ(line, "Log " + port + " " + std::string(200, port[3]));
        ++counts[port];
    }
    EXPECT_EQ(counts, (std::map<std::string, int>{
                          {"COM1", kRecords}, {"COM2", kRecords}, {"COM3", kRecords}}));
    EXPECT_NE(all.find("Log  after\r\n"), std::string::npos) << "no label outside a run";
}

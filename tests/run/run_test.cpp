#include "Digest.h"
#include "DumpFiles.h"
#include "OpenCause.h"
#include "OpenChannel.h"
#include "Paths.h"
#include "Priority.h"
#include "ProgrammingRun.h"
#include "ProgrammingStation.h"
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
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

using Strings = std::vector<std::string>;
using zem::PortState;

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

// Time that passes only when a wait asks it to: a minute of waiting costs no minute.
class VirtualClock : public zem::Clock {
public:
    uint32_t NowMs() override { return now_.load(); }
    void SleepMs(uint32_t ms) override {
        now_ += ms;
        // Enough real time that a test's own polling keeps pace.
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }

private:
    std::atomic<uint32_t> now_{0};
};

// A channel whose link a test can take away, as a pulled adapter does.
class FakeChannel : public TChannel {
public:
    FakeChannel() : TChannel(0, "FAKE", 0) {}
    void Lose(const char* cause) {
        std::snprintf(Rings()->lostCause, sizeof Rings()->lostCause, "%s", cause);
        Rings()->lost.store(true);
    }
};

// What a fake module on a port does during Program.
struct Behaviour {
    bool fails = false;
    bool readBack = false;       // code 5, and the dump file written
    bool readBackFails = false;  // code 5, and no dump saved (its check word was wrong)
    bool waitForAbort = false;   // links, then runs until aborted
    bool silent = false;         // nothing answers: the handshake's 1000 attempts, 50 ms each
    bool silentForever = false;  // nothing answers, and the handshake never gives up
    bool holds = false;          // links, then programs once released (or fails when aborted)
    bool losesPortFirst = false; // its first run links, then the port goes away
};

// Channels and protocol replaced; one behaviour per port name.
struct Fakes {
    std::map<std::string, Behaviour> ports;
    Strings unopenable;
    std::atomic<int> programs{0};
    std::atomic<int> linked{0};
    std::atomic<bool> release{false};
    std::mutex abortsMutex;
    Strings abortsAsked;           // the ports whose protocol was asked to stop at once, in order
    std::atomic<int> goneOpens{0}; // openings that fail after a port was lost
    // Those openings wait, as for a network server that accepts and says nothing, until the
    // open's abort is raised (at most 10 s); each one the abort ended is counted.
    std::atomic<bool> goneOpensHang{false};
    std::atomic<int> opensAbandoned{0};
    // Every opening waits so, the first included.
    std::atomic<bool> everyOpenHangs{false};
    std::atomic<int> absentOpens{0}; // openings that fail as for a port not plugged in yet
    zem::Clock* clock = nullptr;
    std::function<bool(const std::string&)> present;

    class Runner : public zem::ProgramRunner {
    public:
        Runner(Fakes& f, std::string port, FakeChannel* channel, TFPLibCallback cb)
            : f_(f), port_(std::move(port)), channel_(channel), cb_(cb) {}
        bool Program(const std::string&) override {
            int call = f_.programs++;
            auto found = f_.ports.find(port_); // read only: the runs share the map
            Behaviour b = found == f_.ports.end() ? Behaviour{} : found->second;
            cb_(1, 0);
            if (b.silent || b.silentForever) {
                for (int i = 0; (b.silentForever || i < 1000) && !aborted_; ++i) {
                    cb_(8, 100);
                    f_.clock->SleepMs(50);
                    cb_(1, i % 2 ? 100 : 0);
                }
                cb_(7, 100);
                return true;
            }
            cb_(2, 100);
            ++f_.linked;
            if (b.losesPortFirst && call == 0) {
                f_.goneOpens = 3;
                channel_->Lose("the line hung up");
                cb_(7, 100);
                return true;
            }
            if (b.waitForAbort || b.holds) {
                // The countdown keeps coming while a record's answer is awaited.
                while (!aborted_ && !(b.holds && f_.release)) {
                    cb_(8, 50);
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                if (aborted_) {
                    cb_(7, 100);
                    return true;
                }
            }
            cb_(3, 50);
            std::string dump = dumpFile_.empty() ? TFPLib::DumpFileName(port_) : dumpFile_;
            if (b.readBack) {
                cb_(5, 0);
                WriteFileBytes(dump, "dump of " + port_);
                saved_.push_back(dump);
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
        void Abort() override {
            {
                std::lock_guard lock(f_.abortsMutex);
                f_.abortsAsked.push_back(port_);
            }
            aborted_ = true;
        }
        std::vector<std::string> SavedDumps() const override { return saved_; }
        void SaveDumpsTo(const std::string& file) override { dumpFile_ = file; }

    private:
        Fakes& f_;
        std::string port_;
        FakeChannel* channel_;
        TFPLibCallback cb_;
        std::atomic<bool> aborted_{false};
        std::vector<std::string> saved_;
        std::string dumpFile_;
    };

    zem::RunServices Services() {
        zem::RunServices s;
        s.openChannel = [this](const std::string& port, int32_t, const zem::TlsTrust&,
                               std::string* cause) -> TChannel* {
            for (const auto& u : unopenable)
                if (u == port) return nullptr;
            auto hang = [this] {
                const zem::WakeLatch* abort = zem::CurrentOpenAbort();
                for (int i = 0; i < 10000 && !(abort && abort->Raised()); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (abort && abort->Raised()) ++opensAbandoned;
                return nullptr;
            };
            if (everyOpenHangs) return hang();
            if (absentOpens > 0) {
                --absentOpens;
                if (cause) *cause = zem::kCauseNoSuchDevice;
                return nullptr;
            }
            if (goneOpens > 0) {
                --goneOpens;
                if (goneOpensHang) return hang();
                return nullptr;
            }
            return new FakeChannel;
        };
        s.freeChannel = [](TChannel* c) { delete c; };
        s.newRunner = [this](int32_t, const std::string& port, TChannel* channel,
                             const std::string&,
                             TFPLibCallback cb) -> std::unique_ptr<zem::ProgramRunner> {
            return std::make_unique<Runner>(*this, port, static_cast<FakeChannel*>(channel), cb);
        };
        s.clock = clock;
        s.modulePresent = present;
        return s;
    }
};

// Every station event, per port, in the order each port saw it.
class Recorder : public zem::StationEvents {
public:
    explicit Recorder(size_t ports) : events(ports), results(ports), waited(ports) {}
    void StateChanged(size_t slot, PortState state, const std::string& text) override {
        std::lock_guard lock(m_);
        events[slot].push_back(std::string("state ") + zem::PortStateName(state) + ": " + text);
        lastState[slot] = state;
    }
    void Waiting(size_t slot, uint32_t ms) override {
        std::lock_guard lock(m_);
        waited[slot].push_back(ms);
    }
    void RunStarting(size_t slot, unsigned n) override { Add(slot, "start " + std::to_string(n)); }
    void Status(size_t slot, const std::string& t) override { Add(slot, "status " + t); }
    void Progress(size_t slot, int code, int32_t v) override {
        if (code < 8) Add(slot, "progress " + std::to_string(v));
    }
    void Message(size_t slot, const std::string& l) override { Add(slot, "message " + l); }
    void Result(size_t slot, const zem::RunResult& r, const zem::Tally& t) override {
        std::lock_guard lock(m_);
        events[slot].push_back("result " + std::to_string(r.exitCode));
        results[slot].push_back(r);
        lastTally[slot] = t;
    }
    void Problem(const std::string& text) override {
        std::lock_guard lock(m_);
        problems.push_back(text);
    }
    // Also while the station runs.
    bool Has(size_t slot, const std::string& e) const {
        std::lock_guard lock(m_);
        return std::find(events[slot].begin(), events[slot].end(), e) != events[slot].end();
    }
    bool InState(size_t slot, PortState state) const {
        std::lock_guard lock(m_);
        auto found = lastState.find(slot);
        return found != lastState.end() && found->second == state;
    }
    size_t Results(size_t slot) const {
        std::lock_guard lock(m_);
        return results[slot].size();
    }

    // After the station's end.
    std::vector<Strings> events;
    std::vector<std::vector<zem::RunResult>> results;
    std::vector<std::vector<uint32_t>> waited;
    std::map<size_t, zem::Tally> lastTally;
    std::map<size_t, PortState> lastState;
    Strings problems;

private:
    void Add(size_t slot, std::string e) {
        std::lock_guard lock(m_);
        events[slot].push_back(std::move(e));
    }
    mutable std::mutex m_;
};

struct StationFixture {
    ScopedTestDir dir;
    Fakes fakes;
    std::string stream = "module.bin";
    StationFixture() { WriteFileBytes(dir.File(stream), MakeStream()); }
    zem::StationRequest Request(Strings ports, unsigned count = 1) {
        zem::StationRequest r;
        r.stream = stream;
        r.speed = "921600";
        r.ports = std::move(ports);
        r.count = count;
        r.continuous = count != 1;
        return r;
    }
};

// A station's fixture on a virtual clock.
struct ClockedFixture : StationFixture {
    VirtualClock clock;
    ClockedFixture() { fakes.clock = &clock; }
};

// Runs a station on a thread of its own, so that the test can act on it meanwhile.
struct Running {
    zem::Station& station;
    zem::StationSummary summary;
    std::thread thread;
    explicit Running(zem::Station& s) : station(s), thread([this] { summary = station.Run(); }) {}
    ~Running() {
        if (!thread.joinable()) return;
        station.Abort(); // a test that failed half-way
        thread.join();
    }
    zem::StationSummary Join() {
        thread.join();
        return summary;
    }
};

bool WaitFor(const std::function<bool()>& cond) {
    for (int i = 0; i < 20000 && !cond(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return cond();
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        v.push_back(nlohmann::json::parse(l));
    return v;
}

} // namespace

TEST(Station, EachPortRunsItsOwnModuleAndTheWorstFailureDecides) {
    StationFixture fx;
    fx.fakes.ports["P3"].fails = true;
    fx.fakes.ports["P2"].readBack = true;
    Recorder rec(4);
    zem::Station station(fx.Request({"P1", "P2", "P3", "P4"}), fx.fakes.Services(), rec);
    zem::StationSummary s = station.Run();

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
        EXPECT_EQ(ev.front(), "start 0");
        // Each port's own story, not its neighbours'.
        EXPECT_EQ(rec.Has(i, "status Error, module not programmed"), failing);
        EXPECT_EQ(rec.Has(i, "message OK"), !failing);
        EXPECT_EQ(rec.Has(i, "status Reading..."), i == 1);
        EXPECT_EQ(rec.Has(i, failing ? "result 7" : "result 0"), true);
        EXPECT_EQ(rec.lastState[i], PortState::kDone);
    }
    // A single run keeps the protocol's own dump name.
    EXPECT_EQ(rec.results[1][0].dumps, Strings{"P2_Read.bin"});
}

TEST(Station, APortThatCannotBeOpenedDoesNotStopTheOthers) {
    StationFixture fx;
    fx.fakes.unopenable = {"BAD"};
    Recorder rec(3);
    zem::Station station(fx.Request({"P1", "BAD", "P2"}, 2), fx.fakes.Services(), rec);
    zem::StationSummary s = station.Run();
    EXPECT_EQ(s.exitCode, 5);
    EXPECT_EQ(s.tallies[0].programmed, 2u);
    EXPECT_EQ(s.tallies[2].programmed, 2u);
    // Its loop ends at once: the next run would fail alike.
    EXPECT_EQ(s.tallies[1].runs, 1u);
    EXPECT_EQ(s.tallies[1].exitCode, 5);
    EXPECT_EQ(s.last[1].status, "Can not open BAD");
}

// A read-back that was not saved leaves the previous module's file under the protocol's name: it
// is neither claimed nor renamed as this module's dump.
TEST(Station, ALoopKeepsOnlyTheDumpsItsRunsSaved) {
    StationFixture fx;
    fx.fakes.ports["P1"].readBackFails = true;
    WriteFileBytes(fx.dir.File("P1_Read.bin"), "earlier module");
    Recorder rec(1);
    zem::Station station(fx.Request({"P1"}, 2), fx.fakes.Services(), rec);
    zem::StationSummary s = station.Run();
    EXPECT_EQ(s.exitCode, 7);
    ASSERT_EQ(rec.results[0].size(), 2u);
    for (const auto& r : rec.results[0])
        EXPECT_TRUE(r.dumps.empty()) << r.runNumber;
    EXPECT_EQ(ReadFileBytes(fx.dir.File("P1_Read.bin")), "earlier module");
    EXPECT_FALSE(zem::FileExists(fx.dir.File("P1_Read_1.bin")));
}

// A station started again in the same folder numbers its dumps on from the highest one there,
// and never writes over a file: not an older dump, not one put there meanwhile.
TEST(Station, ARestartKeepsEveryDump) {
    StationFixture fx;
    fx.fakes.ports["P1"].readBack = true;
    for (int start = 0; start < 2; ++start) {
        Recorder rec(1);
        zem::Station station(fx.Request({"P1"}, 2), fx.fakes.Services(), rec);
        EXPECT_EQ(station.Run().exitCode, 0);
        if (start == 0) WriteFileBytes(fx.dir.File("P1_Read_3.bin"), "copied back by hand");
    }
    EXPECT_EQ(ReadFileBytes(fx.dir.File("P1_Read_3.bin")), "copied back by hand");
    for (const char* n : {"P1_Read_1.bin", "P1_Read_2.bin", "P1_Read_4.bin", "P1_Read_5.bin"})
        EXPECT_EQ(ReadFileBytes(fx.dir.File(n)), "dump of P1") << n;
    EXPECT_FALSE(zem::FileExists(fx.dir.File("P1_Read_6.bin")));
}

// Two ports alike in their first 64 characters (two interfaces of one adapter): each module's
// dump is kept, in a single run of the two as in a loop.
TEST(Station, PortsWhoseNamesShareTheirStartKeepBothDumps) {
    const std::string stem = "/dev/serial/by-id/usb-FTDI_Quad_RS232-HS_FT4ABCDE_0123456789abcdef-";
    const Strings ports = {stem + "if00-port0", stem + "if01-port0"};
    ASSERT_EQ(TFPLib::DumpFileName(ports[0]), TFPLib::DumpFileName(ports[1]));
    for (unsigned count : {1u, 2u}) {
        SCOPED_TRACE(count);
        StationFixture fx;
        for (const auto& p : ports)
            fx.fakes.ports[p].readBack = true;
        Recorder rec(2);
        zem::Station station(fx.Request(ports, count), fx.fakes.Services(), rec);
        EXPECT_EQ(station.Run().exitCode, 0);
        std::set<std::string> files;
        for (size_t i = 0; i < 2; ++i)
            for (const auto& r : rec.results[i])
                for (const auto& d : r.dumps) {
                    EXPECT_EQ(ReadFileBytes(fx.dir.File(d)), "dump of " + ports[i]) << d;
                    files.insert(d);
                }
        EXPECT_EQ(files.size(), 2u * count);
    }
    Strings stems = zem::DumpFiles::Stems({ports[0], ports[1], "COM3"});
    EXPECT_NE(stems[0], stems[1]);
    EXPECT_EQ(stems[2], "COM3") << "a name no other port shares stays as it was";
}

TEST(DumpFiles, ADumpDirHoldsTheDumpsAndALeftoverIsNumbered) {
    ScopedTestDir dir;
    ASSERT_TRUE(std::filesystem::create_directory("dumps"));
    // A crash between the protocol's save and its renaming left this.
    WriteFileBytes("dumps/P1_Read.saving", "from the crash");
    WriteFileBytes("dumps/P1_Read.2.saving", "its second block");
    WriteFileBytes("dumps/P1_Read_7.bin", "seven");
    WriteFileBytes("dumps/P1_Read_x.bin", "not a number");
    zem::DumpFiles dumps({"P1"}, "dumps", true);
    EXPECT_EQ(ReadFileBytes("dumps/P1_Read_8.bin"), "from the crash");
    EXPECT_EQ(ReadFileBytes("dumps/P1_Read_9.bin"), "its second block");
    EXPECT_EQ(dumps.SaveName(0), (std::filesystem::path("dumps") / "P1_Read.saving").string());
    WriteFileBytes(dumps.SaveName(0), "next");
    EXPECT_EQ(dumps.Keep(0, {dumps.SaveName(0)}),
              Strings{(std::filesystem::path("dumps") / "P1_Read_10.bin").string()});
    EXPECT_FALSE(zem::FileExists("P1_Read_10.bin")) << "nothing in the current folder";
}

// A port with no module for over a minute (the handshake gave up once and started again): no
// run, no failure, no tally, and a stop ends it with exit code 0.
TEST(Station, AMinuteOfAnIdlePortCountsNothing) {
    ClockedFixture fx;
    VirtualClock& clock = fx.clock;
    fx.fakes.ports["IDLE"].silent = true;
    Recorder rec(1);
    zem::ResultsLog log("results.jsonl", "host");
    zem::StationRequest req = fx.Request({"IDLE"}, 0);
    req.results = &log;
    zem::Station station(std::move(req), fx.fakes.Services(), rec);
    Running running(station);
    ASSERT_TRUE(WaitFor([&] { return clock.NowMs() > 61000; }));
    station.Stop();
    zem::StationSummary s = running.Join();
    EXPECT_GE(fx.fakes.programs, 2) << "the handshake was offered again";
    EXPECT_EQ(s.exitCode, 0);
    EXPECT_EQ(s.total.runs, 0u);
    EXPECT_TRUE(rec.results[0].empty());
    EXPECT_FALSE(zem::FileExists("results.jsonl"));
    // It said once that it waits, and how long, about once a second; nothing of the handshake.
    EXPECT_EQ(rec.events[0],
              (Strings{"state waiting: Waiting for the module", "state done: Done"}));
    ASSERT_GE(rec.waited[0].size(), 55u);
    EXPECT_NEAR(static_cast<double>(rec.waited[0].size()), clock.NowMs() / 1000.0, 5.0);
    EXPECT_GE(rec.waited[0].back(), 60000u) << "the wait goes on across the handshake's rounds";
}

// The first stop ends the waiting ports at once and lets the modules under way finish; the exit
// code is theirs. An abort after it cuts the rest short.
TEST(Station, ACleanStopFinishesTheModulesInProgress) {
    struct Case {
        unsigned count; // 0: a loop; 1: one module per port
        bool thenAbort;
    };
    for (Case c : {Case{0, false}, Case{0, true}, Case{1, false}}) {
        const bool thenAbort = c.thenAbort;
        SCOPED_TRACE(std::to_string(c.count) + (thenAbort ? " stop, then abort" : " stop"));
        ClockedFixture fx;
        VirtualClock& clock = fx.clock;
        fx.fakes.ports["BUSY"].holds = true;
        // A handshake that would give up by itself could end before the stop, as a failed run.
        fx.fakes.ports["IDLE"].silentForever = true;
        Recorder rec(2);
        zem::Station station(fx.Request({"BUSY", "IDLE"}, c.count), fx.fakes.Services(), rec);
        Running running(station);
        ASSERT_TRUE(WaitFor([&] { return fx.fakes.linked == 1 && clock.NowMs() > 1000; }));
        station.Stop();
        // The waiting port has ended; the busy one has not.
        ASSERT_TRUE(WaitFor([&] { return rec.Has(1, "state done: Done"); }));
        {
            // The stop asked its runs to end before it returned: only the waiting port's.
            std::lock_guard lock(fx.fakes.abortsMutex);
            EXPECT_EQ(fx.fakes.abortsAsked, Strings{"IDLE"});
        }
        EXPECT_EQ(rec.Results(0), 0u);
        if (thenAbort)
            station.Abort();
        else
            fx.fakes.release = true;
        zem::StationSummary s = running.Join();
        ASSERT_EQ(rec.results[0].size(), 1u);
        EXPECT_TRUE(rec.results[1].empty());
        EXPECT_EQ(fx.fakes.linked, 1) << "no new module after the stop";
        EXPECT_EQ(s.exitCode, thenAbort ? 7 : 0);
        EXPECT_EQ(zem::ResultsLog::OutcomeName(rec.results[0][0]),
                  thenAbort ? "aborted" : "programmed");
        EXPECT_TRUE(s.stopped);
        EXPECT_EQ(s.aborted, thenAbort);
    }
}

// A port that goes away in mid-run: that run has its result with the cause, the port is shown
// lost and looked for again, and when it opens again its loop goes on.
TEST(Station, ALostPortIsWaitedForAndProgrammedAgain) {
    ClockedFixture fx;
    VirtualClock& clock = fx.clock;
    fx.fakes.ports["P1"].losesPortFirst = true;
    Recorder rec(1);
    zem::Station station(fx.Request({"P1"}, 2), fx.fakes.Services(), rec);
    zem::StationSummary s = station.Run();
    ASSERT_EQ(rec.results[0].size(), 2u);
    EXPECT_EQ(rec.results[0][0].lostCause, "the line hung up");
    EXPECT_EQ(rec.results[0][0].exitCode, 7);
    EXPECT_EQ(rec.results[0][1].exitCode, 0);
    EXPECT_TRUE(rec.Has(0, "state port lost: Port P1 lost: the line hung up, waiting for it"));
    EXPECT_EQ(fx.fakes.goneOpens, 0) << "looked for until it opened";
    EXPECT_GE(clock.NowMs(), 3000u) << "about once a second";
    EXPECT_EQ(s.exitCode, 7);
}

// A lost port looked for again where it opens slowly (a network server that accepts and says
// nothing): stopping the station ends that open at once, not at the open's own limit.
TEST(Station, StoppingEndsTheReopeningOfALostPort) {
    ClockedFixture fx;
    fx.fakes.ports["P1"].losesPortFirst = true;
    fx.fakes.goneOpensHang = true;
    Recorder rec(1);
    zem::Station station(fx.Request({"P1"}, 2), fx.fakes.Services(), rec);
    Running running(station);
    ASSERT_TRUE(WaitFor([&] { return rec.InState(0, PortState::kPortLost); }));
    ASSERT_TRUE(WaitFor([&] { return fx.fakes.goneOpens < 3; })) << "an open is under way";
    const auto t0 = std::chrono::steady_clock::now();
    station.Stop();
    running.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5))
        << "the open's own limit is 10 s here";
    EXPECT_EQ(fx.fakes.opensAbandoned, 1);
}

// An abort while the port opens (Ctrl-C against a silent network server) ends the open and the
// run as an abort: not programmed, exit 7, not "Can not open".
TEST(ProgrammingRun, AnAbortDuringTheOpenEndsTheRunAsAnAbort) {
    StationFixture fx;
    fx.fakes.everyOpenHangs = true;
    struct Events : zem::RunEvents {
        Strings statuses;
        void Status(const std::string& text) override { statuses.push_back(text); }
        void Progress(int, int32_t) override {}
        void Message(const std::string&) override {}
        void Result(const zem::RunResult&) override {}
    } events;
    zem::RunRequest req;
    req.stream = fx.stream;
    req.port = "10.0.0.5:4001";
    req.speed = "115200";
    zem::ProgrammingRun run(req, fx.fakes.Services(), events);
    std::thread abort([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        run.Abort();
    });
    const auto t0 = std::chrono::steady_clock::now();
    zem::RunResult r = run.Execute();
    abort.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(fx.fakes.opensAbandoned, 1);
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(r.outcome, zem::RunEnd::NotProgrammed);
    EXPECT_TRUE(r.aborted);
    EXPECT_EQ(r.status, zem::txt::kNotProgrammed);
    EXPECT_TRUE(r.cause.empty());
    EXPECT_EQ(events.statuses.back(), zem::txt::kNotProgrammed);
}

// A port that is not there at the start (its adapter plugged in a few seconds later) is waited
// for, as a lost one is, and then programmed; nothing failed.
TEST(Station, APortAbsentAtTheStartIsWaitedFor) {
    ClockedFixture fx;
    fx.fakes.absentOpens = 4;
    Recorder rec(1);
    zem::Station station(fx.Request({"P1"}, 2), fx.fakes.Services(), rec);
    zem::StationSummary s = station.Run();
    EXPECT_TRUE(rec.Has(0, "state port lost: Port P1 not found: no such device, waiting for it"));
    EXPECT_EQ(fx.fakes.absentOpens, 0);
    EXPECT_EQ(s.tallies[0].programmed, 2u);
    EXPECT_EQ(s.tallies[0].failed, 0u);
    EXPECT_EQ(s.exitCode, 0);
}

// A clock that puts the stream file back once it reaches a given time.
class RestoringClock : public VirtualClock {
public:
    RestoringClock(std::string from, std::string to, uint32_t atMs)
        : from_(std::move(from)), to_(std::move(to)), atMs_(atMs) {}
    void SleepMs(uint32_t ms) override {
        VirtualClock::SleepMs(ms);
        if (!done_ && NowMs() >= atMs_) {
            done_ = true;
            std::filesystem::rename(from_, to_);
        }
    }

private:
    std::string from_, to_;
    uint32_t atMs_;
    std::atomic<bool> done_{false};
};

// A stream file that is missing or short for a moment (being replaced) is looked for again for a
// few seconds; one that stays so ends the port's loop as before.
TEST(Station, AStreamFileBeingReplacedIsWaitedForAMoment) {
    for (uint32_t backAtMs : {2000u, 60000u}) {
        SCOPED_TRACE(backAtMs);
        StationFixture fx;
        std::filesystem::rename(fx.dir.File(fx.stream), fx.dir.File("aside.bin"));
        // A short file stands in its place meanwhile.
        WriteFileBytes(fx.dir.File(fx.stream), MakeStream().substr(0, 50));
        RestoringClock clock(fx.dir.File("aside.bin"), fx.dir.File(fx.stream), backAtMs);
        fx.fakes.clock = &clock;
        Recorder rec(1);
        zem::Station station(fx.Request({"P1"}, 2), fx.fakes.Services(), rec);
        zem::StationSummary s = station.Run();
        if (backAtMs < 5000) {
            EXPECT_EQ(s.tallies[0].programmed, 2u);
            EXPECT_EQ(s.exitCode, 0);
        } else {
            EXPECT_EQ(s.tallies[0].runs, 1u);
            EXPECT_EQ(s.exitCode, 3);
            EXPECT_LT(clock.NowMs(), 10000u) << "gave up after a few seconds";
        }
    }
}

// With the presence check, a module is programmed once: the next run waits for it to be taken
// out and another put in.
TEST(Station, ThePresenceCheckNeverProgramsAModuleTwice) {
    ClockedFixture fx;
    VirtualClock& clock = fx.clock;
    std::atomic<bool> present{false};
    fx.fakes.present = [&](const std::string&) { return present.load(); };
    Recorder rec(1);
    zem::StationRequest req = fx.Request({"P1"}, 0);
    req.presenceCheck = true;
    zem::Station station(std::move(req), fx.fakes.Services(), rec);
    Running running(station);
    ASSERT_TRUE(WaitFor([&] { return rec.InState(0, PortState::kWaitingForPresence); }));
    EXPECT_EQ(fx.fakes.programs, 0);
    present = true;
    ASSERT_TRUE(WaitFor([&] { return fx.fakes.programs == 1; }));
    const uint32_t programmedAt = clock.NowMs();
    ASSERT_TRUE(WaitFor([&] { return clock.NowMs() > programmedAt + 20000; }));
    EXPECT_EQ(fx.fakes.programs, 1) << "the module stayed in";
    EXPECT_TRUE(rec.InState(0, PortState::kWaitingForRemoval));
    present = false;
    ASSERT_TRUE(WaitFor([&] { return rec.InState(0, PortState::kWaitingForPresence); }));
    present = true;
    ASSERT_TRUE(WaitFor([&] { return fx.fakes.programs == 2; }));
    station.Stop();
    zem::StationSummary s = running.Join();
    EXPECT_EQ(s.total.programmed, 2u);
    EXPECT_EQ(s.exitCode, 0);
}

TEST(Station, AbortStopsEveryRunAndEveryLoop) {
    ClockedFixture fx;
    for (const char* p : {"P1", "P2"})
        fx.fakes.ports[p].waitForAbort = true;
    fx.fakes.ports["P3"].silentForever = true;
    Recorder rec(3);
    zem::Station station(fx.Request({"P1", "P2", "P3"}, 0), fx.fakes.Services(), rec);
    std::thread ctrlC([&] {
        while (fx.fakes.linked < 2 || fx.fakes.programs < 3)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        station.Abort(); // as a second Ctrl-C does
    });
    zem::StationSummary s = station.Run();
    ctrlC.join();
    EXPECT_TRUE(s.aborted);
    EXPECT_EQ(s.exitCode, 7);
    EXPECT_EQ(s.total.runs, 2u);
    EXPECT_EQ(s.total.aborted, 2u);
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(rec.results[i].size(), 1u);
        EXPECT_TRUE(rec.results[i][0].aborted);
        EXPECT_EQ(zem::ResultsLog::OutcomeName(rec.results[i][0]), "aborted");
    }
    EXPECT_TRUE(rec.results[2].empty()) << "a port that waited had no module to abort";
}

// A results log that cannot be written is said at once, with the file and the cause; the module
// under way is finished, no other is started, and the exit code says the record is incomplete.
TEST(Station, AResultsLogThatFailsStopsTheStation) {
    if (!zem::FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    StationFixture fx;
    zem::ResultsLog log("/dev/full", "host");
    Recorder rec(2);
    zem::StationRequest req = fx.Request({"P1", "P2"}, 5);
    req.results = &log;
    zem::Station station(std::move(req), fx.fakes.Services(), rec);
    zem::StationSummary s = station.Run();
    ASSERT_EQ(rec.problems.size(), 1u);
    EXPECT_NE(rec.problems[0].find("/dev/full"), std::string::npos) << rec.problems[0];
    EXPECT_NE(rec.problems[0].find("No space left on device"), std::string::npos);
    EXPECT_LE(s.total.runs, 2u) << "no module after the failure but those under way";
    EXPECT_TRUE(s.resultsLogFailed);
    EXPECT_EQ(s.exitCode, 6);
}

TEST(Station, ExitCodeOrder) {
    struct Row {
        int a, b, worst;
    };
    const Row rows[] = {{0, 0, 0}, {0, 7, 7}, {7, 5, 5}, {5, 3, 3}, {3, 4, 4}, {4, 7, 4},
                        {5, 0, 5}, {7, 3, 3}, {4, 5, 4}, {4, 6, 6}, {6, 0, 6}};
    for (const Row& r : rows) {
        EXPECT_EQ(zem::MostSerious(r.a, r.b), r.worst) << r.a << " " << r.b;
        EXPECT_EQ(zem::MostSerious(r.b, r.a), r.worst) << r.b << " " << r.a;
    }
}

TEST(ProgrammingRun, AbortBeforeTheProtocolExistsStopsItAtItsStart) {
    StationFixture fx;
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

TEST(ResultsLog, StartAndEndLinesSayWhoWhatAndWithWhat) {
    ScopedTestDir dir;
    zem::ResultsLog log("results.jsonl", "station-7");
    ASSERT_TRUE(log.Writable());
    zem::RunResult r;
    r.outcome = zem::RunEnd::Programmed;
    r.exitCode = 0;
    r.status = "Program Complete";
    r.port = "/dev/ttyUSB0";
    r.speed = "921600";
    r.stream = dir.File("s.bin");
    r.runNumber = 2;
    r.elapsedMs = 1234;
    r.dumps = {"COM3_Read_2.bin"};
    r.streamCrc32 = "CBF43926";
    r.streamSha256 = std::string(64, 'a');
    std::string error;
    const std::string alias = "/dev/serial/by-id/usb-X-if00-port0";
    ASSERT_TRUE(log.Append(zem::ResultsLog::Event::kStart, r, alias, error));
    ASSERT_TRUE(log.Append(zem::ResultsLog::Event::kEnd, r, alias, error));
    r.outcome = zem::RunEnd::NotProgrammed;
    r.exitCode = 7;
    r.lostCause = "the line hung up";
    ASSERT_TRUE(log.Append(zem::ResultsLog::Event::kEnd, r, "", error));
    auto lines = JsonLines(ReadFileBytes("results.jsonl"));
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& l : lines) {
        EXPECT_EQ(l["host"], "station-7");
        EXPECT_EQ(l["version"], zem::txt::kVersion);
        EXPECT_EQ(l["port"], "/dev/ttyUSB0");
        EXPECT_EQ(l["speed"], "921600");
        EXPECT_EQ(l["run"], 2);
        EXPECT_EQ(l["stream"], "s.bin");
        EXPECT_EQ(l["time"].get<std::string>().size(), 24u);
    }
    EXPECT_EQ(lines[0]["event"], "start");
    EXPECT_EQ(lines[0]["alias"], alias);
    EXPECT_FALSE(lines[0].contains("outcome")) << "nothing is known of the end yet";
    EXPECT_EQ(lines[1]["event"], "end");
    EXPECT_EQ(lines[1]["stream_crc32"], "CBF43926");
    EXPECT_EQ(lines[1]["stream_sha256"], std::string(64, 'a'));
    EXPECT_EQ(lines[1]["outcome"], "programmed");
    EXPECT_EQ(lines[1]["exit_code"], 0);
    EXPECT_EQ(lines[1]["duration_ms"], 1234);
    EXPECT_EQ(lines[1]["dumps"], nlohmann::json::array({"COM3_Read_2.bin"}));
    EXPECT_EQ(lines[1]["lost"], nullptr);
    EXPECT_EQ(lines[2]["alias"], nullptr);
    EXPECT_EQ(lines[2]["outcome"], "not programmed");
    EXPECT_EQ(lines[2]["lost"], "the line hung up");

    EXPECT_FALSE(zem::ResultsLog("no-such-dir/x.jsonl", "h").Writable());
    zem::ResultsLog missing("no-such-dir/x.jsonl", "h");
    EXPECT_FALSE(missing.Append(zem::ResultsLog::Event::kEnd, r, "", error));
    EXPECT_EQ(error.rfind("Unable to write the results log no-such-dir/x.jsonl: ", 0), 0u) << error;
}

TEST(Digest, KnownValues) {
    struct Row {
        std::string data, crc, sha;
    };
    const Row rows[] = {
        {"", "00000000", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"123456789", "CBF43926",
         "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225"},
        // 56 bytes: the length no longer fits the last block; the padding takes a second one.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "171A3F5F",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const Row& r : rows) {
        auto d = zem::DigestOf(reinterpret_cast<const uint8_t*>(r.data.data()), r.data.size());
        EXPECT_EQ(d.crc32, r.crc) << r.data;
        EXPECT_EQ(d.sha256, r.sha) << r.data;
    }
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

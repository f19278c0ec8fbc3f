// The station window's logic on a fake view, with fake channels and protocol runs.
#include "Digest.h"
#include "Harness.h"
#include "LineStation.h"
#include "ProfileFile.h"
#include "StationFakes.h"
#include "StationLogic.h"
#include "StationSettings.h"
#include "TestDir.h"
#include "Treport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

using zem::PortState;
using zem::StationItem;
using zem::StationLogic;
using zem::StationRow;

namespace {

class FakeStationView : public zem::StationView {
public:
    std::map<StationItem, std::string> texts;
    std::set<StationItem> disabled;
    std::vector<StationRow> rows;
    std::vector<std::string> errors;
    std::vector<std::string> questions;
    bool answer = true;
    std::atomic<int> posts{0};
    std::atomic<bool> posted{false};
    std::vector<uint32_t> timers;

    std::string Text(StationItem item) override { return texts[item]; }
    void SetText(StationItem item, const std::string& text) override { texts[item] = text; }
    void SetEnabled(StationItem item, bool enabled) override {
        if (enabled)
            disabled.erase(item);
        else
            disabled.insert(item);
    }
    void SetRowCount(size_t n) override { rows.resize(n); }
    void SetRow(size_t i, const StationRow& row) override { rows.at(i) = row; }
    void PostWake() override {
        ++posts;
        posted = true;
    }
    void StartFlushTimer(uint32_t ms) override { timers.push_back(ms); }
    std::optional<std::vector<std::string>> ChoosePorts(const std::vector<std::string>& available,
                                                        const std::vector<std::string>&) override {
        return available;
    }
    std::optional<std::string> RunOpenDialog(const std::string&) override { return {}; }
    std::optional<std::string> RunSaveDialog(const std::string&) override { return {}; }
    std::optional<std::string> RunFolderDialog(const std::string&) override { return {}; }
    bool Confirm(const std::string& text) override {
        questions.push_back(text);
        return answer;
    }
    void ShowError(const std::string& text) override { errors.push_back(text); }
    std::vector<std::string> historyShown;
    void ShowHistory(const std::string& title, const std::vector<std::string>& lines) override {
        historyShown = lines;
        historyShown.insert(historyShown.begin(), title);
    }
};

struct StationHarness {
    ScopedTestDir dir;
    FakeStationView view;
    Plan plan;
    std::unique_ptr<StationLogic> logic;

    StationHarness() { std::ofstream(dir.File("good.bin"), std::ios::binary) << MakeStream(); }

    zem::Services Services() {
        zem::Services s;
        s.openChannel = [](const std::string&, int32_t, const zem::TlsTrust&,
                           std::string*) -> TChannel* { return new FakeChannel(); };
        s.freeChannel = [](TChannel* c) { delete c; };
        s.newRunner = [this](int32_t, const std::string& port, TChannel*, const std::string&,
                             TFPLibCallback cb) -> std::unique_ptr<zem::ProgramRunner> {
            return std::make_unique<PlannedRunner>(plan, port, cb);
        };
        s.listPorts = []() -> std::optional<std::vector<zem::SerialPortInfo>> {
            std::vector<zem::SerialPortInfo> ports(2);
            ports[0].name = "COM2";
            ports[1].name = "COM1";
            return ports;
        };
        return s;
    }
    StationLogic& Create() {
        logic = std::make_unique<StationLogic>(view, Services(), dir.File("Zem.ini"));
        logic->Create();
        return *logic;
    }
    // Serves wake-ups as the GUI thread would until `done` holds (or ten seconds pass).
    template <class Pred> bool PumpUntil(Pred done) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            if (view.posted.exchange(false)) logic->Flush();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    bool PumpUntilIdle() {
        return PumpUntil([this] { return !logic->Running(); });
    }
    void Setup(const std::string& ports) {
        view.texts[StationItem::EditPorts] = ports;
        view.texts[StationItem::EditStream] = dir.File("good.bin");
        view.texts[StationItem::ComboBoxSpeed] = "115200";
    }
    std::vector<std::string> ResultLines(const std::string& file) {
        std::ifstream in(file);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }
};

TEST(StationLogic, FourPortsOneFailingGiveRowsTalliesTotalsAndLogLines) {
    StationHarness h;
    h.plan.failing = {"COM3"};
    StationLogic& logic = h.Create();
    h.Setup("COM1,COM2,COM3,COM4");
    h.view.texts[StationItem::EditResults] = h.dir.File("results.jsonl");
    logic.SetModulesPerPort(2);
    ASSERT_TRUE(logic.ButtonStartClick());
    EXPECT_TRUE(h.view.disabled.count(StationItem::ButtonStart));
    EXPECT_FALSE(h.view.disabled.count(StationItem::ButtonAbort));
    ASSERT_TRUE(h.PumpUntilIdle());

    ASSERT_EQ(h.view.rows.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const StationRow& r = h.view.rows[i];
        bool fails = i == 2;
        SCOPED_TRACE(r.port);
        EXPECT_EQ(r.runs, "2");
        EXPECT_EQ(r.programmed, fails ? "0" : "2");
        EXPECT_EQ(r.failed, fails ? "2" : "0");
        EXPECT_EQ(r.state, fails ? PortState::kFailed : PortState::kProgrammed);
        EXPECT_EQ(r.stateText, fails ? "failed" : "programmed");
        EXPECT_EQ(r.colour, zem::StateColour(r.state));
        EXPECT_EQ(r.progress,
                  fails ? 0 : 100); // the error code leaves the bar at 0, as in the main window
        EXPECT_FALSE(r.lastRun.empty());
    }
    EXPECT_EQ(h.view.texts[StationItem::LabelProgrammed], "6");
    EXPECT_EQ(h.view.texts[StationItem::LabelFailed], "2");
    EXPECT_EQ(h.view.texts[StationItem::LabelYield], "75.0 % (6 of 8)");
    EXPECT_FALSE(h.view.disabled.count(StationItem::ButtonStart));
    EXPECT_TRUE(h.view.disabled.count(StationItem::ButtonStop));

    // A start and an end line for every module, the end saying how it went.
    auto lines = h.ResultLines(h.dir.File("results.jsonl"));
    ASSERT_EQ(lines.size(), 16u);
    int ends = 0, failedEnds = 0;
    for (const auto& l : lines) {
        if (l.find("\"end\"") == std::string::npos) continue;
        ++ends;
        if (l.find("COM3") != std::string::npos) {
            ++failedEnds;
            EXPECT_EQ(l.find("\"programmed\""), std::string::npos) << l;
        }
    }
    EXPECT_EQ(ends, 8);
    EXPECT_EQ(failedEnds, 2);
    ASSERT_TRUE(logic.Summary());
    EXPECT_EQ(logic.Summary()->total.programmed, 6u);
}

TEST(StationLogic, StopLetsTheRunsUnderWayFinishAndStartsNoOther) {
    StationHarness h;
    h.plan.hold = true;
    StationLogic& logic = h.Create();
    h.Setup("COM1,COM2");
    ASSERT_TRUE(logic.ButtonStartClick());
    ASSERT_TRUE(h.plan.WaitHeld(2));
    ASSERT_TRUE(h.PumpUntil([&] { return h.view.rows[0].state == PortState::kProgramming; }));
    EXPECT_EQ(h.view.rows[0].stateText, "programming");
    logic.ButtonStopClick();
    h.plan.Open();
    ASSERT_TRUE(h.PumpUntilIdle());
    EXPECT_EQ(h.plan.started.load(), 2);
    for (const auto& r : h.view.rows) {
        EXPECT_EQ(r.state, PortState::kProgrammed);
        EXPECT_EQ(r.programmed, "1");
    }
    EXPECT_TRUE(logic.Summary()->stopped);
    EXPECT_FALSE(logic.Summary()->aborted);
    EXPECT_EQ(h.view.texts[StationItem::LabelYield], "100.0 % (2 of 2)");
}

TEST(StationLogic, AbortAndCloseEndTheRunsUnderWayAsAborted) {
    for (bool viaClose : {false, true}) {
        SCOPED_TRACE(viaClose ? "close" : "abort");
        StationHarness h;
        h.plan.hold = true;
        StationLogic& logic = h.Create();
        h.Setup("COM1,COM2,COM3");
        ASSERT_TRUE(logic.ButtonStartClick());
        ASSERT_TRUE(h.plan.WaitHeld(3));
        if (viaClose) {
            // The operator first keeps the runs going, then lets them go.
            h.view.answer = false;
            EXPECT_FALSE(logic.CloseRequest());
            EXPECT_TRUE(logic.Running());
            h.view.answer = true;
            EXPECT_TRUE(logic.CloseRequest());
            EXPECT_EQ(h.view.questions.size(), 2u);
            EXPECT_FALSE(logic.Running());
        } else {
            logic.ButtonAbortClick();
            ASSERT_TRUE(h.PumpUntilIdle());
        }
        // An abort is the operator's, not the modules': they count as runs, not as failures.
        for (const auto& r : h.view.rows) {
            EXPECT_EQ(r.state, PortState::kAborted);
            EXPECT_EQ(r.stateText, "aborted");
            EXPECT_EQ(r.runs, "1");
            EXPECT_EQ(r.failed, "0");
        }
        EXPECT_TRUE(logic.Summary()->aborted);
        EXPECT_EQ(h.view.texts[StationItem::LabelYield], "-");
    }
}

// Time that moves only when the test says.
class ManualClock : public zem::Clock {
public:
    std::atomic<uint32_t> now{1000};
    uint32_t NowMs() override { return now.load(); }
    void SleepMs(uint32_t ms) override { now += ms; }
};

TEST(StationLogic, EventsPostOneWakeUpUntilServedAndRedrawsKeepTheirInterval) {
    StationHarness h;
    h.plan.hold = true;
    ManualClock clock;
    zem::Services services = h.Services();
    services.clock = &clock;
    h.logic = std::make_unique<StationLogic>(h.view, services, h.dir.File("Zem.ini"));
    h.logic->Create();
    StationLogic& logic = *h.logic;
    h.Setup("COM1,COM2,COM3,COM4");
    ASSERT_TRUE(logic.ButtonStartClick());
    ASSERT_TRUE(h.plan.WaitHeld(4));
    // Four ports linked and reported progress, each with several events: one wake-up.
    EXPECT_EQ(h.view.posts.load(), 1);
    logic.Wake(); // the first wake-up redraws at once
    EXPECT_TRUE(h.view.timers.empty());
    EXPECT_EQ(h.view.rows[3].state, PortState::kProgramming);
    h.plan.Open();
    // Whatever came after waits for the interval's end.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!h.view.posted.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(h.view.posted.load());
    clock.now += 20;
    logic.Wake();
    ASSERT_EQ(h.view.timers.size(), 1u);
    EXPECT_EQ(h.view.timers[0], StationLogic::kFlushIntervalMs - 20);
    clock.now += 40;
    logic.Wake(); // a timer already pending: nothing more
    EXPECT_EQ(h.view.timers.size(), 1u);
    logic.ButtonAbortClick();
    ASSERT_TRUE(h.PumpUntilIdle());
}

TEST(StationLogic, StartRefusesMissingPortsAndAnUnwritableResultsLog) {
    StationHarness h;
    StationLogic& logic = h.Create();
    struct Case {
        const char* ports;
        std::string results;
    } cases[] = {
        {"", ""},
        {"COM1,,COM2", ""},
        {"COM1,com1", ""},
        {"COM1", h.dir.File("no-such-folder/results.jsonl")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ports);
        h.view.errors.clear();
        h.Setup(c.ports);
        h.view.texts[StationItem::EditResults] = c.results;
        EXPECT_FALSE(logic.ButtonStartClick());
        EXPECT_EQ(h.view.errors.size(), 1u);
        EXPECT_FALSE(logic.Running());
        EXPECT_FALSE(h.view.disabled.count(StationItem::ButtonStart));
    }
}

TEST(StationLogic, SettingsRoundTripKeepTheOtherSectionsAndAReadOnlyFileLetsTheWindowClose) {
    StationHarness h;
    std::string ini = h.dir.File("Zem.ini");
    std::ofstream(ini) << "; kept\n[System]\nPort=COM9\n[Form]\nTop=5\n";
    StationLogic& logic = h.Create();
    EXPECT_EQ(h.view.texts[StationItem::ComboBoxSpeed], "115200");
    EXPECT_TRUE(h.view.rows.empty());
    h.view.texts[StationItem::EditPorts] = "COM1, 10.0.0.5:4001";
    h.view.texts[StationItem::ComboBoxSpeed] = "921600";
    h.view.texts[StationItem::EditStream] = h.dir.File("good.bin");
    h.view.texts[StationItem::EditResults] = h.dir.File("r.jsonl");
    h.view.texts[StationItem::EditDumpDir] = h.dir.File("dumps");
    ASSERT_TRUE(logic.CloseRequest());
    EXPECT_TRUE(h.view.questions.empty()); // nothing running: no question

    std::ifstream in(ini);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("; kept"), std::string::npos);
    EXPECT_NE(text.str().find("Port=COM9"), std::string::npos);
    EXPECT_NE(text.str().find("Top=5"), std::string::npos);
    EXPECT_TRUE(zem::HasStationSection(ini));

    StationHarness h2; // a fresh window on the same file
    h2.logic = std::make_unique<StationLogic>(h2.view, h2.Services(), ini);
    h2.logic->Create();
    EXPECT_EQ(h2.view.texts[StationItem::EditPorts], "COM1, 10.0.0.5:4001");
    EXPECT_EQ(h2.view.texts[StationItem::ComboBoxSpeed], "921600");
    EXPECT_EQ(h2.view.texts[StationItem::EditStream], h.dir.File("good.bin"));
    EXPECT_EQ(h2.view.texts[StationItem::LabelSwVer], "SW 1.02");
    EXPECT_EQ(h2.view.texts[StationItem::LabelProdName], "Modem X");
    EXPECT_EQ(h2.view.texts[StationItem::EditResults], h.dir.File("r.jsonl"));
    EXPECT_EQ(h2.view.texts[StationItem::EditDumpDir], h.dir.File("dumps"));
    ASSERT_EQ(h2.view.rows.size(), 2u);
    EXPECT_EQ(h2.view.rows[1].port, "10.0.0.5:4001");

    // A file that cannot be written: the error names it, and the window closes all the same.
    namespace fs = std::filesystem;
    fs::permissions(ini, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    if (!zem::MayWriteFile(ini)) {
        h2.view.texts[StationItem::ComboBoxSpeed] = "9600";
        EXPECT_TRUE(h2.logic->CloseRequest());
        ASSERT_EQ(h2.view.errors.size(), 1u);
        EXPECT_EQ(h2.view.errors[0],
                  "Unable to write to " + ini + "\nCause: the file is read-only");
        EXPECT_EQ(zem::LoadStationSettings(ini).speed, "921600");
    }
    fs::permissions(ini, fs::perms::owner_write, fs::perm_options::add);
}

TEST(StationSettings, SectionAndPortListParsing) {
    ScopedTestDir dir;
    struct {
        const char* text;
        bool has;
    } files[] = {
        {"[System]\nPort=COM1\n", false},
        {"[station]\n", true},
        {"[System]\r\n[ Station ]\r\nPorts=COM1\r\n", true},
        {"; [Station]\n", false},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.text);
        std::ofstream(dir.File("Zem.ini"), std::ios::binary) << f.text;
        EXPECT_EQ(zem::HasStationSection(dir.File("Zem.ini")), f.has);
    }
    EXPECT_FALSE(zem::HasStationSection(dir.File("missing.ini")));

    using V = std::vector<std::string>;
    struct {
        const char* list;
        V ports;
    } lists[] = {
        {"COM1", {"COM1"}},
        {" COM1 , host:4001,/dev/ttyUSB0 ", {"COM1", "host:4001", "/dev/ttyUSB0"}},
        {"", {}},
        {"COM1,", {}},
        {"COM1,Com1", {}},
    };
    for (const auto& l : lists)
        EXPECT_EQ(zem::SplitPortList(l.list), l.ports) << l.list;
    EXPECT_EQ(zem::JoinPortList({"COM1", "host:4001"}), "COM1,host:4001");
}

TEST(StationLogic, YieldAndModulesPerHour) {
    struct {
        unsigned programmed, failed;
        const char* yield;
    } yields[] = {{0, 0, "-"},
                  {3, 1, "75.0 % (3 of 4)"},
                  {0, 2, "0.0 % (0 of 2)"},
                  {2, 1, "66.6 % (2 of 3)"}, // rounded down
                  {1385, 1, "99.9 % (1385 of 1386)"},
                  {13861, 139, "99.0 % (13861 of 14000)"},
                  {99999, 1, "99.9 % (99999 of 100000)"}, // one failure is never 100 %
                  {7, 0, "100.0 % (7 of 7)"}};
    for (const auto& y : yields)
        EXPECT_EQ(zem::YieldText(y.programmed, y.failed), y.yield);
    struct {
        unsigned programmed;
        uint32_t ms;
        const char* perHour;
    } rates[] = {
        {5, 999, "-"}, {0, 60000, "0"}, {1, 60000, "60"}, {3, 3600000, "3"}, {10, 45000, "800"}};
    for (const auto& r : rates)
        EXPECT_EQ(zem::PerHourText(r.programmed, r.ms), r.perHour);
}

} // namespace

namespace {

struct ScriptedStation : StationHarness {
    Scripts scripts;
    ScriptedPorts ports;
    zem::Clock* clock = nullptr;
    std::function<bool(const std::string&)> present;

    zem::Services Scripted() {
        zem::Services s = ScriptedServices(scripts, ports);
        s.listPorts = Services().listPorts;
        s.clock = clock;
        s.modulePresent = present;
        return s;
    }
    StationLogic& CreateScripted() {
        logic = std::make_unique<StationLogic>(view, Scripted(), dir.File("Zem.ini"));
        logic->Create();
        return *logic;
    }
};

TEST(StationRows, AFailureAndItsCauseStayUntilTheNextModuleAnswers) {
    ScriptedStation h;
    h.scripts.byPort["COM1"] = {Module::kNack, Module::kGatedProgram, Module::kNone};
    StationLogic& logic = h.CreateScripted();
    h.Setup("COM1");
    ASSERT_TRUE(logic.ButtonStartClick());
    ASSERT_TRUE(h.scripts.WaitAtGate()); // the next module is in, its boot loader not yet heard
    ASSERT_TRUE(h.PumpUntil([&] { return h.view.rows[0].failed == "1"; }));
    h.logic->Flush();
    StationRow r = h.view.rows[0];
    EXPECT_EQ(r.stateText, "failed");
    EXPECT_EQ(r.colour, zem::StateColour(PortState::kFailed));
    EXPECT_EQ(r.status, "Error, module not programmed - waiting for the next module");
    EXPECT_EQ(r.cause, "Cause: the module refused the record at 0x00000000 - 0x0000001F with "
                       "0x41, diagnostic bytes 0x01 0x02");
    EXPECT_EQ(r.progress, 0); // the error's code is no full bar
    EXPECT_EQ(h.view.texts[StationItem::LabelYield], "0.0 % (0 of 1)");

    // The next module answers: the row is its, then shows its own end.
    h.scripts.OpenGate();
    ASSERT_TRUE(h.PumpUntil([&] { return h.view.rows[0].programmed == "1"; }));
    h.logic->Flush();
    r = h.view.rows[0];
    EXPECT_EQ(r.stateText, "programmed");
    EXPECT_TRUE(r.cause.empty());
    EXPECT_EQ(r.progress, 100);
    EXPECT_EQ(h.view.texts[StationItem::LabelYield], "50.0 % (1 of 2)");
    logic.ButtonAbortClick();
    ASSERT_TRUE(h.PumpUntilIdle());

    // Its history, oldest first, opens from the row.
    logic.RowActivated(0);
    ASSERT_EQ(h.view.historyShown.size(), 3u);
    EXPECT_EQ(h.view.historyShown[0], "COM1");
    EXPECT_NE(h.view.historyShown[1].find("failed  Error, module not programmed; Cause: the "
                                          "module refused the record"),
              std::string::npos)
        << h.view.historyShown[1];
    EXPECT_NE(h.view.historyShown[2].find("programmed  Program Complete"), std::string::npos);
    ASSERT_EQ(logic.History(0).size(), 2u);
    EXPECT_EQ(logic.History(0)[0].time.size(), 8u); // hh:mm:ss
}

TEST(StationRows, APortLostMidRunShowsItsCauseAndCountsItsModuleFailed) {
    ScriptedStation h;
    h.scripts.byPort["COM1"] = {Module::kLost};
    h.ports.openOnce = {"COM1"};
    StationLogic& logic = h.CreateScripted();
    h.Setup("COM1");
    ASSERT_TRUE(logic.ButtonStartClick());
    ASSERT_TRUE(h.PumpUntil([&] { return h.view.rows[0].stateText == "port lost"; }));
    h.logic->Flush();
    const StationRow& r = h.view.rows[0];
    EXPECT_EQ(r.status, "Port COM1 lost: the adapter was pulled out, waiting for it");
    EXPECT_EQ(r.cause, "Cause: the adapter was pulled out");
    EXPECT_EQ(r.failed, "1");
    EXPECT_EQ(r.progress, 0);
    logic.ButtonStopClick();
    ASSERT_TRUE(h.PumpUntilIdle());
    EXPECT_EQ(h.view.rows[0].stateText, "port lost");
}

TEST(StationRows, SetupErrorsStartNothingAndCountNothing) {
    ScriptedStation h;
    StationLogic& logic = h.CreateScripted();
    std::ofstream(h.dir.File("bad.bin"), std::ios::binary) << "not a stream";
    std::filesystem::create_directories(h.dir.File("taken.jsonl"));
    struct Case {
        const char* what;
        std::string stream, dumpDir, results;
    } cases[] = {
        {"missing stream", h.dir.File("none.bin"), "", ""},
        {"invalid stream", h.dir.File("bad.bin"), "", ""},
        {"no dump folder", h.dir.File("good.bin"), h.dir.File("no-such-folder"), ""},
        {"results log taken by a folder", h.dir.File("good.bin"), "", h.dir.File("taken.jsonl")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        h.view.errors.clear();
        h.Setup("COM1,COM2");
        h.view.texts[StationItem::EditStream] = c.stream;
        h.view.texts[StationItem::EditDumpDir] = c.dumpDir;
        h.view.texts[StationItem::EditResults] = c.results;
        EXPECT_FALSE(logic.ButtonStartClick());
        EXPECT_EQ(h.view.errors.size(), 1u);
        EXPECT_FALSE(logic.Running());
        EXPECT_EQ(h.scripts.started.load(), 0);
        for (const auto& r : h.view.rows)
            EXPECT_FALSE(r.started);
        EXPECT_EQ(h.view.texts[StationItem::LabelFailed], "0");
        EXPECT_EQ(h.view.texts[StationItem::LabelYield], "-");
    }

    // A port that does not open is the station's setup, not a failed module.
    h.view.errors.clear();
    h.Setup("COM1,COM2");
    h.view.texts[StationItem::EditDumpDir] = "";
    h.view.texts[StationItem::EditResults] = "";
    h.ports.unopenable = {"COM2"};
    logic.SetModulesPerPort(2);
    ASSERT_TRUE(logic.ButtonStartClick());
    ASSERT_TRUE(h.PumpUntilIdle());
    EXPECT_TRUE(h.view.errors.empty());
    const StationRow& bad = h.view.rows[1];
    EXPECT_EQ(bad.stateText, "not opened");
    EXPECT_EQ(bad.status, "Can not open COM2");
    EXPECT_EQ(bad.cause, "Cause: permission denied");
    EXPECT_EQ(bad.failed, "0");
    EXPECT_EQ(bad.runs, "0");
    EXPECT_EQ(h.view.rows[0].programmed, "2");
    EXPECT_EQ(h.view.texts[StationItem::LabelFailed], "0");
    EXPECT_EQ(h.view.texts[StationItem::LabelYield], "100.0 % (2 of 2)");
}

TEST(StationRows, AJigThatRefusesAtOnceIsHeldAfterFourQuickFailures) {
    ScriptedStation h;
    h.scripts.byPort["COM1"] = {Module::kNackAtSync};
    h.scripts.byPort["COM2"] = {Module::kProgram, Module::kNone};
    StationLogic& logic = h.CreateScripted();
    h.Setup("COM1,COM2");
    ASSERT_TRUE(logic.ButtonStartClick());
    // COM1 ends by itself; the good jig beside it goes on.
    ASSERT_TRUE(h.PumpUntil([&] {
        return h.view.rows[0].stateText == "check the jig" && h.view.rows[1].programmed == "1";
    }));
    EXPECT_TRUE(logic.Running());
    h.logic->Flush();
    const StationRow& r = h.view.rows[0];
    EXPECT_EQ(r.failed, "4");
    EXPECT_EQ(r.status, zem::kPortHeldText);
    EXPECT_EQ(r.colour, zem::StateColour(PortState::kFailed));
    EXPECT_EQ(h.scripts.started.load(), 5);
    logic.ButtonStopClick();
    ASSERT_TRUE(h.PumpUntilIdle());
    EXPECT_EQ(h.view.rows[0].stateText, "check the jig");
    ASSERT_FALSE(logic.History(0).empty());
    EXPECT_EQ(
        logic.History(0)[0].cause,
        "Error, module not programmed; Cause: the boot loader refused the handshake with 0x41");
}

TEST(StationRows, TrigProgramOrPresenceWaitForTheModuleAndItsRemoval) {
    struct Case {
        const char* ini;
        bool presence;
    } cases[] = {
        {"[System]\nTrigProgram=1\n", true},
        {"[Station]\nPresence=1\n", true},
        {"[System]\nTrigProgram=0\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini);
        ScriptedStation h;
        std::ofstream(h.dir.File("Zem.ini")) << c.ini;
        ManualClock clock; // the presence readings' seconds pass at once
        h.clock = &clock;
        std::atomic<bool> in{false};
        std::atomic<int> asked{0};
        h.present = [&](const std::string&) {
            ++asked;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return in.load();
        };
        h.scripts.byPort["COM1"] = {Module::kProgram, Module::kNone};
        StationLogic& logic = h.CreateScripted();
        h.Setup("COM1");
        ASSERT_TRUE(logic.ButtonStartClick());
        if (c.presence) {
            ASSERT_TRUE(h.PumpUntil([&] { return asked.load() > 5; }));
            EXPECT_EQ(h.scripts.started.load(), 0); // nothing before the module is there
            in = true;
            ASSERT_TRUE(
                h.PumpUntil([&] { return h.view.rows[0].stateText == "take the module out"; }));
            h.logic->Flush();
            EXPECT_EQ(h.view.rows[0].programmed, "1");
            EXPECT_EQ(h.view.rows[0].status, "Program Complete - take the module out");
            // The module stays in: it is not programmed twice.
            int before = asked.load();
            ASSERT_TRUE(h.PumpUntil([&] { return asked.load() > before + 5; }));
            EXPECT_EQ(h.scripts.started.load(), 1);
        } else {
            ASSERT_TRUE(h.PumpUntil([&] { return h.view.rows[0].programmed == "1"; }));
            EXPECT_EQ(asked.load(), 0);
        }
        logic.ButtonAbortClick();
        ASSERT_TRUE(h.PumpUntilIdle());
    }
}

TEST(StationRows, NetworkTrustAndTheDebugLevelReachEveryPort) {
    ScriptedStation h;
    // Relative names are the start folder's, as in the main window; absolute ones stay.
    const std::string cert = h.dir.File("certs/client.pem");
    std::ofstream(h.dir.File("Zem.ini"))
        << "[System]\nDebug=1\n[Network]\nCAFile=ca.pem\nCertFile=" << cert
        << "\nKeyFile=key.pem\n";
    StationLogic& logic = h.CreateScripted();
    h.Setup("tls://host:4001,COM2");
    logic.SetModulesPerPort(1);
    ASSERT_TRUE(logic.ButtonStartClick());
    ASSERT_TRUE(h.PumpUntilIdle());
    std::lock_guard lock(h.ports.mutex);
    ASSERT_GE(h.ports.opens.size(), 2u);
    for (const auto& [level, trust] : h.ports.opens) {
        EXPECT_EQ(level, 20);
        EXPECT_EQ(trust.caFile, h.dir.File("ca.pem"));
        EXPECT_EQ(trust.certFile, cert);
        EXPECT_EQ(trust.keyFile, h.dir.File("key.pem"));
    }
}

TEST(StationRows, ASettingsFileThatCannotBeWrittenIsReportedOnceAndBlocksNothing) {
    ScriptedStation h;
    // A folder where the file should be: no write succeeds, whoever runs the test.
    std::filesystem::create_directories(h.dir.File("Zem.ini"));
    StationLogic& logic = h.CreateScripted();
    h.Setup("COM1");
    logic.SetModulesPerPort(1);
    for (int start = 0; start < 2; ++start) {
        ASSERT_TRUE(logic.ButtonStartClick());
        ASSERT_TRUE(h.PumpUntilIdle());
        EXPECT_EQ(h.view.rows[0].programmed, "1");
    }
    EXPECT_TRUE(logic.CloseRequest());
    ASSERT_EQ(h.view.errors.size(), 1u);
    EXPECT_EQ(h.view.errors[0], "Unable to write to " + h.dir.File("Zem.ini") +
                                    "\nCause: a folder of that name stands in its place");
}

// A line in one process: jobs by the stream's SHA-256, results kept once by their id; when down,
// results cannot reach it.
struct FakeLine {
    std::mutex mutex;
    bool up = true;
    std::string sha256;
    long long quantity = -1;
    std::set<std::string> ids;
    std::set<std::string> programmed;

    zem::HttpFunction Function() {
        return [this](const zem::HttpRequest& q, zem::HttpAnswer& a, std::string& error) {
            std::lock_guard lock(mutex);
            // Down for results; the job's check at the start is answered all the same.
            if (!up && q.method != "GET") {
                error = "Could not connect to server";
                return false;
            }
            if (q.bearer != "zs-station") {
                a.status = 401;
                a.body = R"({"error":"unknown token"})";
                return true;
            }
            if (q.method == "GET") {
                if (q.url != "http://line.test:8080/api/v1/jobs/stream/" + sha256) {
                    a.status = 404;
                    a.body = R"({"error":"no released job"})";
                    return true;
                }
                nlohmann::json j{
                    {"name", "J-1"}, {"programmed", programmed.size()}, {"retired_at", nullptr}};
                j["quantity"] = quantity < 0 ? nlohmann::json() : nlohmann::json(quantity);
                a.status = 200;
                a.body = j.dump();
                return true;
            }
            nlohmann::json body = nlohmann::json::parse(q.body);
            for (const auto& r : body["results"]) {
                ids.insert(r["result_id"].get<std::string>());
                if (r["outcome"] == "programmed") programmed.insert(r["result_id"]);
            }
            a.status = 200;
            a.body = "{}";
            return true;
        };
    }
    size_t Stored() {
        std::lock_guard lock(mutex);
        return ids.size();
    }
    void Up(bool on) {
        std::lock_guard lock(mutex);
        up = on;
    }
};

std::string ReadAll(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The hold's text for the backlog the status area shows.
std::string HeldText(const std::string& lineStatus) {
    std::string since = lineStatus.substr(lineStatus.find(" since "));
    return "Held: 1 results not yet on the line" + since;
}

struct LineStationHarness : ScriptedStation {
    FakeLine line;
    LineStationHarness() {
        std::ifstream in(dir.File("good.bin"), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        line.sha256 = zem::Sha256Hex(bytes.data(), bytes.size());
        std::ofstream(dir.File("token")) << "zs-station\n";
    }
    StationLogic& CreateLined(const std::string& ini) {
        std::ofstream(dir.File("Zem.ini")) << ini;
        zem::Services s = Scripted();
        s.lineHttp = line.Function();
        logic = std::make_unique<StationLogic>(view, std::move(s), dir.File("Zem.ini"));
        logic->Create();
        Setup("COM1");
        view.texts[StationItem::EditResults] = dir.File("results.jsonl");
        return *logic;
    }
};

const char* const kLineIni = "[Line]\nUrl=http://line.test:8080\nTokenFile=token\n";

// Each refusal names its cause and opens no port.
TEST(StationLine, AStartTheLineRefusesOpensNoPort) {
    struct Case {
        std::string ini;
        bool results;
        bool released;
        std::string error;
    };
    const Case cases[] = {
        {kLineIni, true, false, "stream %S is not a released job on http://line.test:8080"},
        {kLineIni, false, true,
         "The line http://line.test:8080 needs a results log: the results log is what the "
         "station sends"},
        {"[Line]\nUrl=http://line.test:8080\nTokenFile=missing\n", true, true,
         "The line http://line.test:8080 needs the station's token: can not read the station "
         "token file %D/missing"},
        {std::string(kLineIni) + "MaxUnsent=many\n", true, true,
         "[Line] MaxUnsent is not a number of results: many"},
    };
    for (const Case& c : cases) {
        LineStationHarness h;
        std::string sha = h.line.sha256;
        if (!c.released) h.line.sha256 = std::string(64, '0');
        StationLogic& logic = h.CreateLined(c.ini);
        if (!c.results) h.view.texts[StationItem::EditResults].clear();
        EXPECT_FALSE(logic.ButtonStartClick()) << c.error;
        std::string expected = c.error;
        if (auto at = expected.find("%S"); at != std::string::npos)
            expected.replace(at, 2, h.dir.File("good.bin"));
        if (auto at = expected.find("%D/"); at != std::string::npos)
            expected.replace(at, 3, h.dir.File(""));
        ASSERT_EQ(h.view.errors.size(), 1u) << c.error;
        EXPECT_EQ(h.view.errors[0], expected);
        EXPECT_FALSE(logic.Running());
        std::lock_guard lock(h.ports.mutex);
        EXPECT_TRUE(h.ports.opens.empty()) << c.error;
    }
}

// The line down: results stay in the log, the status area counts them, MaxUnsent=0 holds the port
// after its first; the line back: every result stored once, the hold ends by itself.
TEST(StationLine, ResultsWaitForTheLineAndTheHoldEndsWhenItIsBack) {
    LineStationHarness h;
    h.scripts.byPort["COM1"] = {Module::kProgram, Module::kProgram, Module::kProgram,
                                Module::kNone};
    h.line.Up(false);
    StationLogic& logic = h.CreateLined(std::string(kLineIni) + "MaxUnsent=0\n");
    ASSERT_TRUE(logic.ButtonStartClick()) << (h.view.errors.empty() ? "" : h.view.errors[0]);
    EXPECT_EQ(h.view.texts[StationItem::StatusBar], "Running job J-1");
    auto& line = h.view.texts[StationItem::StatusLine];
    ASSERT_TRUE(h.PumpUntil([&] {
        return h.view.rows[0].programmed == "1" &&
               line.rfind("Line: 1 result not sent since ", 0) == 0;
    })) << line;
    EXPECT_NE(line.find(" UTC"), std::string::npos) << line;
    // Held: no second module while the first is not on the line.
    ASSERT_TRUE(h.PumpUntil([&] {
        return h.view.rows[0].status == "Program Complete - " + HeldText(line);
    })) << h.view.rows[0].status;
    EXPECT_EQ(h.view.rows[0].programmed, "1");
    EXPECT_EQ(h.line.Stored(), 0u);

    h.line.Up(true);
    ASSERT_TRUE(h.PumpUntil([&] {
        return h.view.rows[0].programmed == "3" && h.line.Stored() == 3 &&
               line == "Line: all results sent";
    })) << line
        << " / " << h.line.Stored();
    logic.ButtonAbortClick();
    ASSERT_TRUE(h.PumpUntilIdle());
    EXPECT_EQ(h.line.Stored(), 3u);
    EXPECT_EQ(line, "Line: all results sent");
}

// The job's quantity stops the station; modules under way count against it before they end.
TEST(StationLine, TheJobsQuantityStopsTheStation) {
    LineStationHarness h;
    h.line.quantity = 2;
    h.scripts.byPort["COM1"] = {Module::kProgram};
    StationLogic& logic = h.CreateLined(kLineIni);
    ASSERT_TRUE(logic.ButtonStartClick());
    ASSERT_TRUE(h.PumpUntilIdle());
    EXPECT_EQ(h.view.rows[0].programmed, "2");
    EXPECT_EQ(h.line.Stored(), 2u)
        << ReadAll(h.dir.File("results.jsonl")) << h.view.texts[StationItem::StatusBar];
    // The next start is refused: the job is done.
    EXPECT_FALSE(logic.ButtonStartClick());
    ASSERT_FALSE(h.view.errors.empty());
    EXPECT_EQ(h.view.errors.back(), "job J-1: its 2 modules are programmed");

    // Under way: two ports, one module left; the second port holds while the first's runs.
    zem::LineStation station;
    zem::LineStation::Config c;
    c.link.url = "http://line.test:8080";
    c.link.token = "zs-station";
    c.resultsPath = h.dir.File("other.jsonl");
    h.line.quantity = 3;
    std::string error;
    ASSERT_EQ(station.Begin(c, h.dir.File("good.bin"), nullptr, error, h.line.Function()), 0)
        << error;
    EXPECT_EQ(station.HoldText(), "");
    station.OnRunStarting(0);
    EXPECT_EQ(station.HoldText(), "Held: job J-1 has 2 of 3 modules programmed and 1 under way");
    EXPECT_FALSE(station.OnResult(0, false)); // it failed: another module may start
    EXPECT_EQ(station.HoldText(), "");
    station.OnRunStarting(1);
    EXPECT_TRUE(station.OnResult(1, true));
    station.End(0);
}

} // namespace

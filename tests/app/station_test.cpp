// The station window's logic on a fake view, with fake channels and protocol runs.
#include "Harness.h"
#include "ProfileFile.h"
#include "StationFakes.h"
#include "StationLogic.h"
#include "StationSettings.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
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
        s.openChannel = [](const std::string&, int32_t, const zem::TlsTrust&, std::string*) -> TChannel* {
            return new FakeChannel();
        };
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

TEST(StationLogic, SettingsRoundTripKeepTheOtherSectionsAndAReadOnlyFileStaysOpen) {
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

    // A file that cannot be written: the error names it and the window stays open.
    namespace fs = std::filesystem;
    fs::permissions(ini, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    if (!zem::MayWriteFile(ini)) {
        h2.view.texts[StationItem::ComboBoxSpeed] = "9600";
        EXPECT_FALSE(h2.logic->CloseRequest());
        ASSERT_EQ(h2.view.errors.size(), 1u);
        EXPECT_EQ(h2.view.errors[0], "Unable to write to " + ini);
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

#include "Clock.h"
#include "Harness.h"
#include "Paths.h"
#include "Settings.h"
#include "Texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using zem::Item;
using Strings = std::vector<std::string>;

namespace {

enum class FileKind { None, Valid, BadCrc, UnknownFlash, CutRecord, ExtraByte };

struct Outcome {
    const char* name;
    FileKind file;
    bool openOk;
    bool programFails;
    bool trig;
    int code; // -1: unchanged
    const char* status;
    Strings alerts;
    Strings log; // debug window lines after the run
    bool channelOpened;
};

const char* kPath = "module.bin";

std::vector<Outcome> Outcomes() {
    const std::string version = "Flash Programmer " ZEM_VERSION;
    return {
        {"missing file",
         FileKind::None,
         true,
         false,
         false,
         4,
         "The selected file is not a valid",
         {"Stream File not found"},
         {},
         false},
        {"bad checksum",
         FileKind::BadCrc,
         true,
         false,
         false,
         3,
         "The selected file is not a valid",
         {"Not valid Stream File"},
         {},
         false},
        {"unknown flash",
         FileKind::UnknownFlash,
         true,
         false,
         false,
         3,
         "The selected file is not valid",
         {"Not valid Stream File"},
         {},
         false},
        // Records that do not end exactly at the end: refused before the port is opened.
        {"last record cut",
         FileKind::CutRecord,
         true,
         false,
         false,
         3,
         "The selected file is not a valid",
         {"Not valid Stream File"},
         {},
         false},
        {"byte after the last record",
         FileKind::ExtraByte,
         true,
         false,
         false,
         3,
         "The selected file is not a valid",
         {"Not valid Stream File"},
         {},
         false},
        {"port not opened",
         FileKind::Valid,
         false,
         false,
         false,
         5,
         "Can not open COM7",
         {"Can not open COM7"},
         {version, "Can not open COM7"},
         true},
        {"transfer failed",
         FileKind::Valid,
         true,
         true,
         false,
         7,
         "Error, module not programmed",
         {},
         {version, "Booting, power ON module ", "Can not send file module.bin"},
         true},
        {"success",
         FileKind::Valid,
         true,
         false,
         false,
         0,
         "Programmed",
         {"Program Complete"},
         {},
         true},
        {"trigger not reached",
         FileKind::Valid,
         true,
         false,
         true,
         -1,
         "Waiting for the module",
         {},
         {},
         false},
    };
}

void WriteStream(Harness& h, FileKind kind) {
    switch (kind) {
    case FileKind::None:
        return;
    case FileKind::Valid:
        WriteFileBytes(h.File(kPath), MakeStream());
        return;
    case FileKind::BadCrc:
        WriteFileBytes(h.File(kPath), MakeStream({.goodCrc = false}));
        return;
    case FileKind::UnknownFlash:
        WriteFileBytes(h.File(kPath), MakeStream({.flash = 3}));
        return;
    case FileKind::CutRecord: {
        std::string s = MakeStream();
        s.pop_back();
        WriteFileBytes(h.File(kPath), s);
        return;
    }
    case FileKind::ExtraByte:
        WriteFileBytes(h.File(kPath), MakeStream() + "x");
        return;
    }
}

void Prepare(Harness& h, const Outcome& o, bool autoTerminate) {
    WriteStream(h, o.file);
    if (o.trig) WriteFileBytes(h.File("Zem.ini"), "[System]\nTrigProgram=1\n");
    h.openOk = o.openOk;
    h.programFails = o.programFails;
    auto& logic = h.Create();
    logic.StartUp({kPath, "COM7", "460800", autoTerminate ? "1" : "0"});
    h.view.events.clear();
    logic.ButtonProgramClick();
}

} // namespace

// The system's cause goes under the program's own text, in the alert and in the debug window;
// the status text and the exit code stay as they are.
TEST(ProgrammingRun, APortThatDoesNotOpenShowsItsCause) {
    Harness h;
    WriteStream(h, FileKind::Valid);
    h.openOk = false;
    h.openCause = "permission denied (add the user to the dialout group, then log in again)";
    auto& logic = h.Create();
    logic.StartUp({kPath, "/dev/ttyUSB0", "460800", "0"});
    h.view.events.clear();
    logic.ButtonProgramClick();
    const std::string cause = "Cause: " + h.openCause;
    EXPECT_EQ(h.view.alerts, Strings{"Can not open /dev/ttyUSB0\n" + cause});
    EXPECT_EQ(h.Status(), "Can not open /dev/ttyUSB0");
    EXPECT_EQ(h.view.debugLines,
              (Strings{"Flash Programmer " ZEM_VERSION, "Can not open /dev/ttyUSB0", cause}));
    EXPECT_EQ(logic.ExitCode(), 5);
}

TEST(ProgrammingRun, EachOutcomeShowsItsTextsAndSetsItsCode) {
    for (const Outcome& o : Outcomes()) {
        SCOPED_TRACE(o.name);
        Harness h;
        Prepare(h, o, false);
        auto& logic = *h.logic;
        EXPECT_EQ(logic.ExitCode(), o.code == -1 ? 0 : o.code);
        EXPECT_EQ(h.Status(), o.status);
        EXPECT_EQ(h.view.alerts, o.alerts);
        EXPECT_EQ(h.view.debugLines, o.log);
        EXPECT_EQ(!h.opened.empty(), o.channelOpened);
        // Every channel opened is freed, after its protocol object.
        EXPECT_EQ(h.freed, h.runners);
        if (h.runners) {
            EXPECT_EQ(h.order, (Strings{"runner-gone", "channel-freed"}));
        }
        // Controls and cursor are back whatever the outcome; the program stays open.
        EXPECT_TRUE(h.view.disabled.empty());
        EXPECT_FALSE(h.view.busy);
        EXPECT_EQ(h.view.busyChanges, 2);
        EXPECT_FALSE(h.view.quitRequested);
        if (o.code == 0 || o.code == 7) {
            EXPECT_EQ(h.view.progress, 0);
        }
        // The outcome stands out from idle until the next action.
        EXPECT_EQ(h.view.outcome, o.code == -1  ? zem::RunOutcome::kNone
                                  : o.code == 0 ? zem::RunOutcome::kSucceeded
                                                : zem::RunOutcome::kFailed);
        logic.EditFilePathKeyDown(13);
        EXPECT_EQ(h.view.outcome, zem::RunOutcome::kNone);
    }
}

// An unattended run that ends itself never waits at an alert: the program ends with the run's
// code, a failure's text goes to standard error instead, and only the success box (which closes
// by itself after the quit request) is still shown.
TEST(ProgrammingRun, AutoTerminateQuitsAndNeverWaitsAtAFailuresAlert) {
    for (const Outcome& o : Outcomes()) {
        SCOPED_TRACE(o.name);
        Harness h;
        Prepare(h, o, true);
        Strings expected;
        if (o.code == -1) {
            expected = {}; // a refused run sets no code and so never ends the program
        } else if (o.code == 0) {
            expected = {"quit", "alert:" + o.alerts[0]};
        } else if (o.code == 7) {
            expected = {"quit", "stderr:Error, module not programmed"};
        } else {
            expected = {"quit"};
            for (const auto& a : o.alerts)
                expected.push_back("stderr:" + a);
        }
        EXPECT_EQ(h.view.events, expected);
        EXPECT_EQ(h.logic->ExitCode(), o.code == -1 ? 0 : o.code);
    }
}

// The port's cause comes on a line of its own, on standard error and in the trace, whatever the
// kind of port.
TEST(ProgrammingRun, AutoTerminateTellsWhyThePortDidNotOpen) {
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug);
        Harness h;
        WriteStream(h, FileKind::Valid);
        if (debug) WriteFileBytes(h.File("Zem.ini"), "[System]\nDebug=1\n");
        h.openOk = false;
        h.openCause = "connection refused or the server unreachable";
        auto& logic = h.Create();
        logic.StartUp({kPath, "tls://devsrv:4001", "921600", "1"});
        h.view.events.clear();
        logic.TimerAutoProgramTimer();
        EXPECT_EQ(h.view.events, (Strings{"quit", "stderr:Can not open tls://devsrv:4001",
                                          "stderr:Cause: " + h.openCause}));
        EXPECT_TRUE(h.view.alerts.empty());
        EXPECT_EQ(logic.ExitCode(), 5);
        // The debug window has its lines as in an interactive run.
        EXPECT_EQ(h.view.debugLines,
                  (Strings{"Flash Programmer " ZEM_VERSION, "Can not open tls://devsrv:4001",
                           "Cause: " + h.openCause}));
        const std::string trace = ReadFileBytes(h.File("LocalLog.txt"));
        if (debug) {
            EXPECT_NE(trace.find("Fail"), std::string::npos) << trace;
            EXPECT_NE(trace.find("Can not open tls://devsrv:4001\r\n"), std::string::npos) << trace;
            EXPECT_NE(trace.find("Cause: " + h.openCause + "\r\n"), std::string::npos) << trace;
        } else {
            EXPECT_EQ(trace, ""); // no trace without Debug
        }
    }
}

TEST(ProgrammingRun, HandsTheProtocolTheWindowsTexts) {
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug);
        Harness h;
        WriteFileBytes(h.File(kPath), MakeStream());
        if (debug) WriteFileBytes(h.File("Zem.ini"), "[System]\nDebug=1\n");
        auto& logic = h.Create();
        EXPECT_EQ(h.view.visible.count(Item::ButtonDebug), debug ? 1u : 0u);
        h.view.texts[Item::EditFilePath] = kPath;
        h.view.texts[Item::ComboBoxPort] = "disk";
        h.view.texts[Item::ComboBoxSpeed] = "1000"; // not in the list: handed on unchanged
        logic.ButtonProgramClick();
        EXPECT_EQ(h.opened, Strings{"disk"});
        EXPECT_EQ(h.levelCode, debug ? 20 : 0);
        EXPECT_EQ(h.channelLevel, debug ? 20 : 0);
        EXPECT_EQ(h.runnerPort, "disk");
        EXPECT_EQ(h.runnerSpeed, "1000");
        EXPECT_EQ(h.runnerPath, kPath);
    }
}

TEST(ProgrammingRun, FailedRunLinesStayAndTheNextRunAppends) {
    Harness h;
    WriteFileBytes(h.File(kPath), MakeStream());
    auto& logic = h.Create();
    h.view.texts[Item::EditFilePath] = kPath;
    h.programFails = true;
    logic.ButtonProgramClick();
    logic.ButtonProgramClick();
    EXPECT_EQ(h.view.debugLines.size(), 6u);
    h.programFails = false;
    logic.ButtonProgramClick();
    EXPECT_TRUE(h.view.debugLines.empty());
    EXPECT_EQ(logic.ExitCode(), 0);
}

// The window programs one module: a list of ports is one port name to it, opened once.
TEST(ProgrammingRun, TheWindowStaysSinglePort) {
    Harness h;
    WriteFileBytes(h.File(kPath), MakeStream());
    auto& logic = h.Create();
    h.view.texts[Item::EditFilePath] = kPath;
    h.view.texts[Item::ComboBoxPort] = "COM1,COM2";
    logic.ButtonProgramClick();
    EXPECT_EQ(h.opened, Strings{"COM1,COM2"});
    EXPECT_EQ(h.runners, 1);
    EXPECT_EQ(h.runnerPort, "COM1,COM2");
}

// A port that went away mid-run: the debug window names it and the cause, before the usual line.
TEST(ProgrammingRun, ALostPortIsNamedWithItsCause) {
    Harness h;
    WriteFileBytes(h.File(kPath), MakeStream());
    auto& logic = h.Create();
    h.view.texts[Item::EditFilePath] = kPath;
    h.view.texts[Item::ComboBoxPort] = "COM7";
    h.lostCause = "the line hung up (POLLHUP)";
    logic.ButtonProgramClick();
    EXPECT_EQ(logic.ExitCode(), 7);
    EXPECT_EQ(h.Status(), "Error, module not programmed");
    auto& lines = h.view.debugLines;
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Port COM7 lost: the line hung up (POLLHUP)");
    EXPECT_EQ(lines.back(), "Can not send file module.bin");
}

// A tls:// port trusts what "Zem.ini" [Network] names (relative paths from the start directory);
// when it does not open, the alert's second line and the debug window say why.
TEST(ProgrammingRun, TlsTrustFromTheSettingsAndTheCauseOfARefusal) {
    Harness h;
    WriteFileBytes(h.File(kPath), MakeStream());
    const std::string key = h.File("elsewhere/station.key");
    WriteFileBytes(h.File("Zem.ini"), "[Network]\nCAFile=certs/ca.pem\nCertFile=station.pem\n"
                                      "KeyFile=" +
                                          key + "\n");
    auto& logic = h.Create();
    h.view.texts[Item::EditFilePath] = kPath;
    h.view.texts[Item::ComboBoxPort] = "tls://devsrv:4001";
    h.openOk = false;
    h.openCause = "the server requires a client certificate";
    logic.ButtonProgramClick();
    EXPECT_EQ(logic.ExitCode(), 5);
    EXPECT_EQ(h.trust.caFile, logic.StartDir() + "certs/ca.pem");
    EXPECT_EQ(h.trust.certFile, logic.StartDir() + "station.pem");
    EXPECT_EQ(h.trust.keyFile, key);
    EXPECT_EQ(h.Status(), "Can not open tls://devsrv:4001");
    ASSERT_FALSE(h.view.alerts.empty());
    EXPECT_EQ(h.view.alerts.back(),
              "Can not open tls://devsrv:4001\nCause: the server requires a client certificate");
    const auto& lines = h.view.debugLines;
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "Cause: the server requires a client certificate"),
        lines.end());
}

TEST(ProgrammingRun, NamesTooLongForTheProtocolAreRefusedNotCut) {
    Harness h;
    // A real file whose path exceeds 255 characters.
    std::string deep = std::string(200, 'd');
    std::filesystem::create_directories(h.File(deep));
    std::string longPath = deep + "/" + std::string(60, 'f') + ".bin";
    WriteFileBytes(h.File(longPath), MakeStream());
    WriteFileBytes(h.File(kPath), MakeStream());
    auto& logic = h.Create();

    h.view.texts[Item::EditFilePath] = longPath;
    logic.ButtonProgramClick();
    EXPECT_EQ(logic.ExitCode(), 4);
    EXPECT_EQ(h.Status(), zem::txt::kPathTooLong);
    EXPECT_EQ(h.view.alerts, Strings{zem::txt::kPathTooLong});
    EXPECT_TRUE(h.opened.empty());

    h.view.texts[Item::EditFilePath] = kPath;
    h.view.texts[Item::ComboBoxPort] = std::string(251, 'h') + ":4001";
    logic.ButtonProgramClick();
    EXPECT_EQ(logic.ExitCode(), 5);
    EXPECT_EQ(h.Status(), zem::txt::kPortTooLong);
    EXPECT_TRUE(h.opened.empty());
    EXPECT_EQ(h.view.debugLines.back(), zem::txt::kPortTooLong);

    // 255 characters still pass.
    h.view.texts[Item::ComboBoxPort] = std::string(250, 'h') + ":4001";
    logic.ButtonProgramClick();
    EXPECT_EQ(h.opened.size(), 1u);
}

TEST(ProgrammingRun, ClosingDuringTheRunAbortsItAndSavesTheSettings) {
    Harness h;
    WriteFileBytes(h.File(kPath), MakeStream());
    auto& logic = h.Create();
    h.view.texts[Item::EditFilePath] = kPath;
    h.view.texts[Item::ComboBoxPort] = "COM4";
    bool closed = false;
    h.duringProgram = [&] { closed = logic.FormClose(); };
    logic.ButtonProgramClick();
    EXPECT_TRUE(closed);
    EXPECT_TRUE(h.aborted);
    EXPECT_EQ(logic.ExitCode(), 7);
    EXPECT_EQ(zem::LoadSettings(logic.SettingsFile()).port, "COM4");
}

TEST(ProgrammingRun, ClosingDuringTheHeaderCheckStopsTheRunAtItsStart) {
    Harness h;
    WriteFileBytes(h.File(kPath), MakeStream());
    auto& logic = h.Create();
    h.view.texts[Item::EditFilePath] = kPath;
    bool closed = false;
    h.view.onPending = [&] {
        if (!closed) closed = logic.FormClose();
    };
    logic.ButtonProgramClick();
    EXPECT_TRUE(closed);
    EXPECT_TRUE(h.aborted) << "the protocol must see the close before it starts";
    EXPECT_EQ(logic.ExitCode(), 7);
}

// The protocol's waits serve the window's messages while a run lasts, and only then.
TEST(ProgrammingRun, TheWaitsOfARunServeTheWindow) {
    Harness h;
    WriteFileBytes(h.File(kPath), MakeStream());
    auto& logic = h.Create();
    h.view.texts[Item::EditFilePath] = kPath;
    h.view.texts[Item::ComboBoxPort] = "COM4";
    int served = -1;
    h.duringProgram = [&] {
        zem::WaitPump* pump = zem::CurrentWaitPump();
        ASSERT_NE(pump, nullptr);
        const int before = h.view.pending;
        pump->RunIfDue(1000); // a wait's first turn starts the count
        pump->RunIfDue(1000 + zem::WaitPump::kEveryMs);
        served = h.view.pending - before;
    };
    logic.ButtonProgramClick();
    EXPECT_EQ(served, 1);
    EXPECT_EQ(zem::CurrentWaitPump(), nullptr);
}

TEST(ProgrammingRun, TimersDuringARunDoNotStartAnother) {
    Harness h;
    WriteFileBytes(h.File(kPath), MakeStream());
    auto& logic = h.Create();
    logic.StartUp({kPath, "COM2", "115200"});
    h.duringProgram = [&] {
        logic.TimerAutoProgramTimer();
        logic.ButtonProgramClick();
    };
    logic.TimerAutoProgramTimer();
    EXPECT_EQ(h.runners, 1);
    EXPECT_FALSE(h.view.autoTimer);
}

TEST(StatusCallback, FollowsTheStatusTable) {
    struct Row {
        int code;
        const char* text; // nullptr: unchanged
        bool setsProgress;
    };
    const Row rows[] = {
        {0, "Idle", true},           {1, "Linking...", true},     {2, "Linked", true},
        {3, "Programming...", true}, {4, "Programmed", true},     {5, "Reading...", true},
        {6, "Idle", true},           {7, "Error", true},          {8, nullptr, false},
        {9, "Bad status...", false}, {-1, "Bad status...", false}};
    Harness h;
    h.Create();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.code);
        h.view.texts[Item::StatusBar] = "before";
        h.view.progress = 55;
        int pendingBefore = h.view.pending;
        zem::FormMainLogic::StatusCallback(static_cast<uint8_t>(r.code), 33);
        EXPECT_EQ(h.Status(), r.text ? r.text : "before");
        EXPECT_EQ(h.view.progress, r.setsProgress ? 33 : 55);
        EXPECT_EQ(h.view.pending, pendingBefore + 1); // the window is serviced on every call
    }
}

TEST(StartUp, ParameterCountsChooseTheMode) {
    using Mode = zem::FormMainLogic::StartMode;
    struct Row {
        Strings params;
        Mode mode;
        bool autoTerminate;
    };
    const Row rows[] = {
        {{}, Mode::Interactive, false},
        {{"a.bin", "COM3", "460800"}, Mode::Unattended, false},
        {{"a.bin", "COM3", "460800", "1"}, Mode::Unattended, true},
        {{"a.bin", "COM3", "460800", "0"}, Mode::Unattended, false},
        {{"a.bin", "COM3", "460800", "yes"}, Mode::Unattended, false},
        {{"a.bin", "COM3", "460800", " 1"}, Mode::Unattended, false},
        {{"a.bin"}, Mode::WrongCount, false},
        {{"a.bin", "COM3"}, Mode::WrongCount, false},
        {{"a.bin", "COM3", "460800", "1", "x"}, Mode::WrongCount, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.params.size());
        Harness h;
        WriteFileBytes(h.File("Zem.ini"), "[System]\nPort=COM9\nSpeed=9600\nStartPath=old.bin\n");
        auto& logic = h.Create();
        std::string status = h.Status();
        EXPECT_EQ(logic.StartUp(r.params), r.mode);
        EXPECT_EQ(logic.AutoTerminate(), r.autoTerminate);
        EXPECT_EQ(h.view.autoTimer, r.mode == Mode::Unattended);
        EXPECT_EQ(h.runners, 0);
        if (r.mode == Mode::Interactive) {
            EXPECT_EQ(h.view.alerts, Strings{zem::txt::kGreeting});
        }
        if (r.mode == Mode::WrongCount) {
            EXPECT_EQ(h.view.events,
                      Strings{"message:Wrong parameter number:Usage : Zem stream_file port speed "
                              "[autoterminate(0/1)]"});
        }
        if (r.mode == Mode::Unattended) {
            // The command line replaces the settings; its path is checked only by the run.
            EXPECT_EQ(h.view.texts[Item::EditFilePath], "a.bin");
            EXPECT_EQ(h.view.texts[Item::ComboBoxPort], "COM3");
            EXPECT_EQ(h.view.texts[Item::ComboBoxSpeed], "460800");
            EXPECT_EQ(h.Status(), status);
            EXPECT_TRUE(h.view.alerts.empty());
        }
    }
}

TEST(DebugWindow, HeaderDisplayAndPlacement) {
    Harness h;
    WriteFileBytes(h.File("v2.bin"), MakeStream({.speedOffset = 0x12345}));
    WriteFileBytes(h.File("v3.bin"), MakeStream({.version = 3}));
    auto& logic = h.Create();
    h.view.rect = {40, 60, 385, 258};

    // Enter refreshes the labels but leaves a hidden debug window hidden; other keys do nothing.
    h.view.texts[Item::EditFilePath] = "v2.bin";
    logic.EditFilePathKeyDown('A');
    EXPECT_EQ(h.view.texts[Item::DebugSwVer], "");
    logic.EditFilePathKeyDown(13);
    EXPECT_FALSE(h.view.debugVisible);
    EXPECT_EQ(h.view.texts[Item::DebugSwVer], "SW 1.02");
    EXPECT_EQ(h.view.texts[Item::DebugProdName], "Modem X");
    EXPECT_EQ(h.view.texts[Item::DebugFlashType], "4MB");
    EXPECT_EQ(h.view.texts[Item::DebugHeaderLength], "0x4E");
    EXPECT_EQ(h.view.texts[Item::DebugStrVer], "0x2");
    EXPECT_EQ(h.view.texts[Item::DebugSpeedOff], "0x12345");
    EXPECT_EQ(h.view.texts[Item::DebugBootTypeHex], "0x0");
    EXPECT_EQ(h.Status(), "Press Program to start");

    // The Debug button shows it against the main window's right side.
    logic.ButtonDebugClick(true);
    EXPECT_TRUE(h.view.debugVisible);
    EXPECT_EQ(h.view.debugLeft, 40 + 385);
    EXPECT_EQ(h.view.debugTop, 60);

    // A bad version keeps the two text labels and empties the six numeric ones.
    h.view.texts[Item::EditFilePath] = "v3.bin";
    logic.EditFilePathKeyDown(13);
    EXPECT_EQ(h.Status(), "Bad stream version");
    EXPECT_EQ(h.view.texts[Item::LabelSwVer], "SW 1.02");
    EXPECT_EQ(h.view.texts[Item::DebugSwVer], "SW 1.02");
    for (Item i : {Item::DebugFlashType, Item::DebugHeaderLength, Item::DebugStrVer,
                   Item::DebugSpeedOff, Item::DebugCrcHex, Item::DebugBootTypeHex})
        EXPECT_EQ(h.view.texts[i], "");
    EXPECT_FALSE(logic.StreamValid());
}

TEST(TrigProgram, RunsStartOnlyAfterThreeReadingsInARow) {
    Harness h;
    WriteFileBytes(h.File(kPath), MakeStream());
    WriteFileBytes(h.File("Zem.ini"), "[System]\nTrigProgram=1\nPort=COM5\n");
    bool module = true;
    h.present = [&](const std::string&) { return module; };
    auto& logic = h.Create();
    h.view.texts[Item::EditFilePath] = kPath;

    logic.TimerTrigProgramTimer();
    logic.TimerTrigProgramTimer();
    module = false; // pulled out: start counting again
    logic.TimerTrigProgramTimer();
    EXPECT_EQ(logic.TrigCount(), 0);
    module = true;
    logic.TimerTrigProgramTimer();
    logic.TimerTrigProgramTimer();
    logic.ButtonProgramClick();
    EXPECT_EQ(h.runners, 0);
    EXPECT_EQ(h.Status(), "Waiting for the module");
    logic.TimerTrigProgramTimer();
    logic.TimerTrigProgramTimer();
    EXPECT_EQ(logic.TrigCount(), 3);
    EXPECT_EQ(h.probed, Strings(7, "COM5"));

    // No probing of a port that a run is using.
    h.duringProgram = [&] { logic.TimerTrigProgramTimer(); };
    logic.ButtonProgramClick();
    EXPECT_EQ(h.runners, 1);
    EXPECT_EQ(h.probed.size(), 7u);
}

TEST(TrigProgram, UnattendedRunWaitsForTheModule) {
    Harness h;
    WriteFileBytes(h.File(kPath), MakeStream());
    WriteFileBytes(h.File("Zem.ini"), "[System]\nTrigProgram=1\n");
    h.present = [](const std::string&) { return true; };
    auto& logic = h.Create();
    logic.StartUp({kPath, "COM5", "115200", "1"});
    logic.TimerAutoProgramTimer();
    EXPECT_TRUE(h.view.autoTimer); // armed again
    EXPECT_EQ(h.runners, 0);
    for (int i = 0; i < 3; ++i)
        logic.TimerTrigProgramTimer();
    logic.TimerAutoProgramTimer();
    EXPECT_FALSE(h.view.autoTimer);
    EXPECT_EQ(h.runners, 1);
    EXPECT_TRUE(h.view.quitRequested);
}

TEST(TrigProgram, OffMeansNoProbing) {
    Harness h;
    auto& logic = h.Create();
    logic.TimerTrigProgramTimer();
    EXPECT_TRUE(h.probed.empty());
}

TEST(Browse, InitialDirectoryAndCurrentDirectory) {
    namespace fs = std::filesystem;
    Harness h;
    fs::create_directories(h.File("streams"));
    fs::create_directories(h.File("elsewhere"));
    WriteFileBytes(h.File("streams/new.bin"), MakeStream({.software = "NEW"}));
    auto& logic = h.Create();
    const std::string start = h.dir.Path();
    const std::string sep(1, zem::PathSeparator());

    // Nothing in the path line and no LastDir: the start directory. The dialog wanders off and
    // is cancelled: the path stays, LastDir takes the dialog's directory, ours is restored.
    h.view.dialog = [&]() -> std::optional<std::string> {
        zem::SetCurrentDir(h.File("elsewhere"));
        return std::nullopt;
    };
    logic.ButtonSfogliaClick();
    EXPECT_EQ(h.view.dialogInitialDir, logic.StartDir());
    EXPECT_EQ(h.view.texts[Item::EditFilePath], "");
    EXPECT_EQ(fs::path(logic.LastDir()), fs::path(h.File("elsewhere")));
    EXPECT_EQ(fs::path(zem::CurrentDir()), fs::path(start));

    // Still no path: LastDir.
    h.view.dialog = [] { return std::nullopt; };
    logic.ButtonSfogliaClick();
    EXPECT_EQ(fs::path(h.view.dialogInitialDir), fs::path(h.File("elsewhere")));

    // A path: its directory part. A pick fills the path line and refreshes the header.
    h.view.texts[Item::EditFilePath] = h.File("streams") + sep + "old.bin";
    h.view.dialog = [&]() -> std::optional<std::string> { return h.File("streams/new.bin"); };
    logic.ButtonSfogliaClick();
    EXPECT_EQ(h.view.dialogInitialDir, h.File("streams") + sep);
    EXPECT_EQ(h.view.texts[Item::EditFilePath], h.File("streams/new.bin"));
    EXPECT_EQ(h.view.texts[Item::LabelSwVer], "NEW");
    EXPECT_EQ(h.Status(), "Press Program to start");
}

// The Qt station window in process (offscreen) against module simulators.
#include "HttpClient.h"
#include "Labels.h"
#include "LineFixtures.h"
#include "QtSimulator.h"
#include "Services.h"
#include "StationFakes.h"
#include "TFormDebug.h"
#include "TFormMain.h"
#include "TFormStation.h"
#include "TestDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTableWidget>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

namespace {

class AppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[24] = "app_qt_station_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

const auto* const kAppEnvironment = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

std::vector<std::string> Lines(const std::string& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

// Runs the event loop until `done` holds; false after `ms`.
bool WaitFor(const std::function<bool()>& done, int ms = 30000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qWait(1);
    }
    return true;
}

QString Cell(TFormStation& w, int row, int column) {
    QTableWidgetItem* item = w.Table->item(row, column);
    return item ? item->text() : QString();
}

class QtStation : public ::testing::Test {
protected:
    ScopedTestDir dir;

    std::unique_ptr<TFormStation> Window(const std::vector<std::string>& ports,
                                         const std::string& stream) {
        auto w = std::make_unique<TFormStation>(zem::DefaultServices(), dir.File("Zem.ini"));
        w->errorHook = [](const std::string& text) { ADD_FAILURE() << text; };
        std::string list;
        for (const auto& p : ports)
            list += (list.empty() ? "" : ",") + p;
        w->EditPorts->setText(QString::fromStdString(list));
        w->EditStream->setText(QString::fromStdString(stream));
        w->EditResults->setText(QString::fromStdString(dir.File("results.jsonl")));
        w->Logic().StreamEdited();
        w->show();
        return w;
    }
};

TEST_F(QtStation, FourModulesOneNackedGiveThreeProgrammedOneFailedAndTheirLogLines) {
    const std::string stream = MakeStream(dir.File("s.bin"), {"--records", "300,2000,200"});
    Simulator a(stream), b(stream), c(stream, {"--nack", "2:0x41"}), d(stream);
    std::vector<std::string> ports = {a.Port(), b.Port(), c.Port(), d.Port()};
    for (const auto& p : ports)
        ASSERT_FALSE(p.empty());
    auto w = Window(ports, stream);
    EXPECT_FALSE(w->LabelSwVer->text().isEmpty()); // the stream's header is shown

    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(w->ButtonStart, Qt::LeftButton);
    ASSERT_TRUE(w->Logic().Running());
    EXPECT_FALSE(w->ButtonStart->isEnabled());
    EXPECT_FALSE(w->EditPorts->isEnabled());
    ASSERT_TRUE(WaitFor(
        [&] { return w->LabelProgrammed->text() == "3" && w->LabelFailed->text() == "1"; }));
    qint64 elapsed = clock.elapsed();
    QTest::mouseClick(w->ButtonStop, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !w->Logic().Running(); }));
    EXPECT_TRUE(w->ButtonStart->isEnabled());

    for (int r = 0; r < 4; ++r) {
        bool nacked = r == 2;
        SCOPED_TRACE(r);
        EXPECT_TRUE(Cell(*w, r, TFormStation::kPort).startsWith(QString::fromStdString(ports[r])));
        EXPECT_EQ(Cell(*w, r, TFormStation::kState), nacked ? "failed" : "programmed");
        EXPECT_EQ(Cell(*w, r, TFormStation::kRuns), "1");
        EXPECT_EQ(Cell(*w, r, TFormStation::kProgrammed), nacked ? "0" : "1");
        EXPECT_EQ(Cell(*w, r, TFormStation::kFailed), nacked ? "1" : "0");
        EXPECT_TRUE(Cell(*w, r, TFormStation::kLastRun).endsWith(" s"));
        auto* bar = qobject_cast<QProgressBar*>(w->Table->cellWidget(r, TFormStation::kProgress));
        ASSERT_NE(bar, nullptr);
        if (!nacked) {
            EXPECT_EQ(bar->value(), 100);
        }
    }
    EXPECT_EQ(FullText(w->LabelYield).toStdString(), "75.0 % (3 of 4)");
    EXPECT_NE(w->LabelPerHour->text(), "");

    auto lines = Lines(dir.File("results.jsonl"));
    ASSERT_EQ(lines.size(), 8u);
    int starts = 0, programmed = 0, nackedEnds = 0;
    for (const auto& l : lines) {
        if (l.find("\"start\"") != std::string::npos) ++starts;
        if (l.find("\"end\"") == std::string::npos) continue;
        bool isC = l.find("\"" + c.Port() + "\"") != std::string::npos;
        bool ok = l.find("\"programmed\"") != std::string::npos;
        if (isC) {
            ++nackedEnds;
            EXPECT_FALSE(ok) << l;
        } else if (ok) {
            ++programmed;
        }
    }
    EXPECT_EQ(starts, 4);
    EXPECT_EQ(programmed, 3);
    EXPECT_EQ(nackedEnds, 1);
    // Redraws were coalesced: never more wake-ups than one per interval, one to spare and the
    // station's end, which has one of its own.
    EXPECT_LE(w->wakes, elapsed / zem::StationLogic::kFlushIntervalMs + 3 +
                            clock.elapsed() / zem::StationLogic::kFlushIntervalMs);
    std::printf("[ station  ] 4 modules in %lld ms, %d wake-ups\n", static_cast<long long>(elapsed),
                w->wakes);
    EXPECT_EQ(a.Finish(), 0);
    EXPECT_NE(c.Finish(), 0);
}

TEST_F(QtStation, StopDuringATransferFinishesTheModule) {
    const std::string stream =
        MakeStream(dir.File("s.bin"), {"--records", "2000,2000,2000,2000,2000,2000"});
    Simulator sim(stream, {"--flash-latency", "60"});
    auto w = Window({sim.Port()}, stream);
    QTest::mouseClick(w->ButtonStart, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return Cell(*w, 0, TFormStation::kState) == "programming"; }));
    QTest::mouseClick(w->ButtonStop, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !w->Logic().Running(); }));
    EXPECT_EQ(Cell(*w, 0, TFormStation::kState), "programmed");
    EXPECT_EQ(Cell(*w, 0, TFormStation::kRuns), "1");
    EXPECT_EQ(w->LabelProgrammed->text(), "1");
    EXPECT_TRUE(w->Logic().Summary()->stopped);
    EXPECT_EQ(sim.Finish(), 0);
}

TEST_F(QtStation, AbortAndCloseEndEveryRunWithinATenthOfASecond) {
    const std::string stream =
        MakeStream(dir.File("s.bin"), {"--records", "2000,2000,2000,2000,2000,2000,2000,2000"});
    for (bool viaClose : {false, true}) {
        SCOPED_TRACE(viaClose ? "close" : "abort");
        Simulator s1(stream, {"--flash-latency", "300"}), s2(stream, {"--flash-latency", "300"});
        auto w = Window({s1.Port(), s2.Port()}, stream);
        int asked = 0;
        w->confirmHook = [&](const std::string&) { return ++asked, true; };
        QTest::mouseClick(w->ButtonStart, Qt::LeftButton);
        ASSERT_TRUE(WaitFor([&] {
            return Cell(*w, 0, TFormStation::kState) == "programming" &&
                   Cell(*w, 1, TFormStation::kState) == "programming";
        }));
        QTest::qWait(150); // well inside a record's answer
        auto start = std::chrono::steady_clock::now();
        if (viaClose) {
            EXPECT_TRUE(w->close());
            EXPECT_EQ(asked, 1);
        } else {
            QTest::mouseClick(w->ButtonAbort, Qt::LeftButton);
        }
        // The runs' threads are gone once the station no longer runs.
        ASSERT_TRUE(WaitFor([&] { return !w->Logic().Running(); }, 5000));
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
        std::printf("[ station  ] %s ended two runs in %lld ms\n", viaClose ? "close" : "abort",
                    static_cast<long long>(ms));
        // The mark is 100 ms; a loaded test machine gets room, a hung run does not.
        EXPECT_LT(ms, 1000);
        if (!viaClose) {
            EXPECT_EQ(Cell(*w, 0, TFormStation::kState), "aborted");
            // The operator's abort is no failed module.
            EXPECT_EQ(w->LabelFailed->text(), "0");
        }
        EXPECT_TRUE(w->Logic().Summary()->aborted);
    }
}

// A jig whose boot loader refuses the first record at once: four failures in a row, then the
// port is held instead of counting hundreds of failed modules a minute.
TEST_F(QtStation, ANackingJigIsHeldAfterFourQuickFailures) {
    const std::string stream = MakeStream(dir.File("s.bin"));
    Simulator jig(stream, {"--runs", "50", "--nack", "1:0x41:1,2"});
    ASSERT_FALSE(jig.Port().empty());
    auto w = Window({jig.Port()}, stream);
    QTest::mouseClick(w->ButtonStart, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !w->Logic().Running(); }));
    EXPECT_EQ(Cell(*w, 0, TFormStation::kState), "check the jig");
    EXPECT_EQ(Cell(*w, 0, TFormStation::kFailed), "4");
    EXPECT_EQ(w->LabelFailed->text(), "4");
    auto history = w->Logic().History(0);
    ASSERT_EQ(history.size(), 4u);
    EXPECT_NE(history[0].cause.find("Cause: the module refused the record at "), std::string::npos)
        << history[0].cause;
}

TEST_F(QtStation, MainWindowOffersTheStationOnlyWithItsSection) {
    {
        TFormDebug debug;
        TFormMain main(debug, zem::DefaultServices());
        EXPECT_EQ(main.ButtonStation, nullptr);
        EXPECT_EQ(main.size(), QSize(377, 231));
    }
    std::ofstream(dir.File("Zem.ini")) << "[Station]\nPorts=COM7,COM8\n";
    TFormDebug debug;
    TFormMain main(debug, zem::DefaultServices());
    main.show();
    ASSERT_NE(main.ButtonStation, nullptr);
    EXPECT_TRUE(main.ButtonStation->isVisible());
    EXPECT_EQ(main.ButtonStation->text(), "Station...");
    QTest::mouseClick(main.ButtonStation, Qt::LeftButton);
    TFormStation& st = main.OpenStation();
    EXPECT_TRUE(st.isVisible());
    EXPECT_EQ(st.EditPorts->text(), "COM7,COM8");
    EXPECT_EQ(st.Table->rowCount(), 2);
    st.close();
}

} // namespace

namespace {

// Eight ports in every state an operator meets, through the model and the real station with
// scripted modules; the picture is kept where ZEM_SCREENSHOT_DIR says (scripts/screenshot).
TEST_F(QtStation, EightPortsScreenshot) {
    std::ofstream(dir.File("Zem.ini")) << "[Station]\nPresence=1\n";
    const std::string stream = MakeStream(dir.File("s.bin"));
    Scripts scripts;
    ScriptedPorts ports;
    scripts.byPort = {
        {"COM1", {Module::kProgram, Module::kNone}},
        {"COM2", {Module::kProgram, Module::kNone}},
        {"COM3", {Module::kNack, Module::kNone}},
        {"COM4", {Module::kNackAtSync, Module::kNone}},
        {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", {Module::kLost}},
        {"COM6", {Module::kProgram, Module::kNone}},
        {"COM7", {Module::kMidway}}};
    ports.openOnce = {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"};
    ports.unopenable = {"COM8"};
    zem::Services services = ScriptedServices(scripts, ports);
    // Every module is in its jig until its run ends; only COM6's is left in afterwards.
    services.modulePresent = [&scripts](const std::string& port) {
        std::lock_guard lock(scripts.mutex);
        auto it = scripts.next.find(port);
        return port == "COM6" || it == scripts.next.end() || it->second == 0;
    };
    services.stableAliases = [](const std::vector<std::string>& names) {
        std::vector<std::string> aliases(names.size());
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == "COM1") aliases[i] = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0";
        return aliases;
    };
    auto w = std::make_unique<TFormStation>(std::move(services), dir.File("Zem.ini"));
    w->errorHook = [](const std::string& text) { ADD_FAILURE() << text; };
    w->EditPorts->setText("COM1,COM2,COM3,COM4,/dev/serial/by-id/"
                          "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0,COM6,COM7,COM8");
    w->EditStream->setText(QString::fromStdString(stream));
    w->Logic().StreamEdited();
    w->resize(1100, 520);
    w->show();
    QTest::mouseClick(w->ButtonStart, Qt::LeftButton);
    ASSERT_TRUE(w->Logic().Running());
    auto state = [&](int r) { return Cell(*w, r, TFormStation::kState); };
    ASSERT_TRUE(WaitFor([&] {
        return state(0) == "programmed" && state(1) == "programmed" && state(2) == "failed" &&
               state(3) == "failed" && state(4) == "port lost" &&
               state(5) == "take the module out" && state(6) == "programming" &&
               state(7) == "not opened";
    })) << state(0).toStdString()
        << "|" << state(5).toStdString();
    EXPECT_TRUE(
        Cell(*w, 2, TFormStation::kStatus).contains("Cause: the module refused the record"));
    EXPECT_TRUE(Cell(*w, 3, TFormStation::kStatus).contains("Cause: the boot loader refused"));
    EXPECT_TRUE(Cell(*w, 4, TFormStation::kStatus).contains("the adapter was pulled out"));
    EXPECT_TRUE(Cell(*w, 7, TFormStation::kStatus).contains("Cause: permission denied"));
    EXPECT_EQ(Cell(*w, 0, TFormStation::kPort),
              "COM1\n/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0");
    EXPECT_EQ(FullText(w->LabelYield).toStdString(), "50.0 % (3 of 6)");
    QTest::qWait(100);
    QImage shot = w->grab().toImage();
    ASSERT_FALSE(shot.isNull());
    // The failed rows' state cells are drawn red, the programmed rows' green.
    auto colourAt = [&](int row) {
        QRect cell = w->Table->visualItemRect(w->Table->item(row, TFormStation::kState));
        QPoint at = w->Table->viewport()->mapTo(w.get(), cell.center());
        return shot.pixelColor(at * shot.devicePixelRatio()).rgb() & 0xFFFFFF;
    };
    EXPECT_EQ(colourAt(2), zem::StateColour(zem::PortState::kFailed));
    EXPECT_EQ(colourAt(0), zem::StateColour(zem::PortState::kProgrammed));
    std::string out =
        qEnvironmentVariableIsEmpty("ZEM_SCREENSHOT_DIR")
            ? dir.File("zem-station.png")
            : qEnvironmentVariable("ZEM_SCREENSHOT_DIR").toStdString() + "/zem-station.png";
    EXPECT_TRUE(shot.save(QString::fromStdString(out)));

    // The large layout: a tile per port with the same state, readable from a distance.
    QTest::mouseClick(w->ButtonLarge, Qt::LeftButton);
    EXPECT_FALSE(w->Table->isVisible());
    EXPECT_TRUE(w->TileArea->isVisible());
    ASSERT_EQ(w->tiles.size(), 8u);
    EXPECT_EQ(w->tiles[2].state->text(), "failed");
    EXPECT_TRUE(w->tiles[2].status->text().contains("Cause: the module refused the record"));
    EXPECT_EQ(w->tiles[5].state->text(), "take the module out");
    EXPECT_GE(QFontInfo(w->tiles[0].state->font()).pixelSize(),
              QFontInfo(w->font()).pixelSize() * 2);
    QTest::qWait(100);
    std::string large = out.substr(0, out.size() - 4) + "-large.png";
    EXPECT_TRUE(w->grab().save(QString::fromStdString(large)));
    QTest::mouseClick(w->ButtonLarge, Qt::LeftButton);
    EXPECT_TRUE(w->Table->isVisible());
    QTest::mouseClick(w->ButtonAbort, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !w->Logic().Running(); }));
}

// With [Line] in Zem.ini the window's station sends its results to a real zem-line: the status
// bar's right counts what the line has not acknowledged while the service is down, and every
// result is stored once when it is back.
TEST_F(QtStation, ResultsGoToTheLineAndTheBacklogShowsWhileItIsDown) {
    using zem::test::LineProcess;
    const std::string exe = BinaryDir() + "/line/zem-line";
    const std::string db = dir.File("line.db");
    const std::string stream = MakeStream(dir.File("s.bin"), {"--records", "300,2000,200"});
    auto admin = [&](const std::string& args) {
        return zem::test::Shell("cd '" + dir.File("") + "' && '" + exe + "' --db '" + db + "' " +
                                args + " 2>>admin.txt");
    };
    ASSERT_EQ(admin("station add st1 > token"), 0);
    ASSERT_EQ(admin("job release s.bin --name qt-1"), 0);
    LineProcess service(exe, db, zem::test::FreePort(), dir.File("service.log"));
    std::ofstream(dir.File("Zem.ini")) << "[Line]\nUrl=" << service.Url() << "\nTokenFile=token\n";

    Simulator sim(stream, {"--runs", "2"});
    ASSERT_FALSE(sim.Port().empty());
    auto w = Window({sim.Port()}, stream);
    QTest::mouseClick(w->ButtonStart, Qt::LeftButton);
    ASSERT_TRUE(w->Logic().Running());
    EXPECT_EQ(w->StatusText->text(), "Running job qt-1");
    // Down before the first module's end.
    service.Kill(SIGKILL);
    ASSERT_TRUE(WaitFor([&] {
        return w->LineText->text().startsWith("Line: ") &&
               w->LineText->text().contains(" not sent since ");
    })) << w->LineText->text().toStdString();

    service.Start();
    ASSERT_TRUE(WaitFor([&] {
        return w->LabelProgrammed->text() == "2" && w->LineText->text() == "Line: all results sent";
    })) << w->LineText->text().toStdString();
    // The window's ports are live on the line: the page's view names the station's port, its
    // job and the last module's outcome.
    ASSERT_EQ(admin("viewer add wall > viewer"), 0);
    std::string viewer = Lines(dir.File("viewer")).at(0);
    nlohmann::json port;
    auto text = [](const nlohmann::json& j, const char* key) {
        auto it = j.find(key);
        return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    ASSERT_TRUE(WaitFor([&] {
        zem::HttpRequest q;
        q.method = "GET";
        q.url = service.Url() + "/api/v1/live?once=1";
        q.bearer = viewer;
        zem::HttpAnswer a;
        std::string err;
        if (!zem::HttpExchange(q, a, err) || a.status != 200) return false;
        auto view = nlohmann::json::parse(a.body, nullptr, false);
        if (!view.is_object()) return false;
        if (!view.contains("stations") || !view["stations"].is_array()) return false;
        for (const auto& st : view["stations"])
            if (text(st, "name") == "st1" && text(st, "job") == "qt-1" && st.contains("ports") &&
                st["ports"].is_array() && !st["ports"].empty()) {
                port = st["ports"][0];
                return text(port, "last_outcome") == "programmed";
            }
        return false;
    })) << port.dump();
    EXPECT_EQ(text(port, "name"), sim.Port());
    QTest::mouseClick(w->ButtonStop, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !w->Logic().Running(); }));
    ASSERT_EQ(admin("results --format csv > stored.csv"), 0);
    auto stored = Lines(dir.File("stored.csv"));
    ASSERT_EQ(stored.size(), 3u); // the header and the two modules, once each
    for (size_t i = 1; i < stored.size(); ++i)
        EXPECT_NE(stored[i].find("programmed"), std::string::npos) << stored[i];
}

} // namespace

// The Qt front end in process (offscreen), and the real program against the module simulator.
#include "QtSimulator.h"
#include "Startup.h"
#include "TFormDebug.h"
#include "TFormMain.h"
#include "TestDir.h"
#include "ZemVersion.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

// One application for all tests, gone before the static destructors run (Qt's own statics may
// already be destroyed by then).
class AppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[16] = "app_qt_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

const auto* const kAppEnvironment = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

// Answers every modal box as an operator would (OK, or Cancel for the file dialog) and records
// what it showed.
class ModalCloser {
public:
    struct Seen {
        std::string caption, text;
        bool icon = false;
        bool plain = false; // the text is not read as markup
    };
    std::vector<Seen> boxes;
    QStringList dialogFilters;
    QString dialogDir;

    ModalCloser() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }
    Strings Texts() const {
        Strings t;
        for (const auto& b : boxes)
            t.push_back(b.text);
        return t;
    }

private:
    void Poll() {
        QWidget* w = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            boxes.push_back({box->windowTitle().toStdString(), box->text().toStdString(),
                             box->icon() != QMessageBox::NoIcon,
                             box->textFormat() == Qt::PlainText});
            box->accept();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(w)) {
            dialogFilters = dialog->nameFilters();
            dialogDir = dialog->directory().absolutePath();
            dialog->reject();
        }
    }
    QTimer timer_;
};

// Fakes for the window tests that need no module.
zem::Services NoModule() {
    zem::Services s;
    s.openChannel = [](const std::string&, int32_t, const zem::TlsTrust&,
                       std::string*) -> TChannel* { return nullptr; };
    s.freeChannel = [](TChannel*) {};
    s.listPorts = []() -> std::optional<std::vector<zem::SerialPortInfo>> {
        std::vector<zem::SerialPortInfo> ports(2);
        ports[0].name = "COM10";
        ports[1].name = "COM3";
        return ports;
    };
    return s;
}

struct Windows {
    TFormDebug debug;
    TFormMain main;
    explicit Windows(zem::Services s = NoModule()) : main(debug, std::move(s)) { main.show(); }
};

struct ZemExit {
    bool finished = false;
    int code = -1;
    std::string err; // its standard error
};

// The real program, unattended, in a directory of its own.
ZemExit RunProgram(const std::string& dir, const QStringList& args, int timeoutMs = 30000) {
    QProcess p;
    p.setWorkingDirectory(QString::fromStdString(dir));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(QString::fromStdString(BinaryDir() + "/zem"), args);
    ZemExit r;
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(2000);
    }
    r.code = p.exitCode();
    r.err = p.readAllStandardError().toStdString();
    return r;
}

const char kSettings[] = "; station settings\n[System]\nPort=COM2\nSpeed=9600\n"
                         "StartPath=old.bin\n[Form]\nTop=30\nLeft=40\n";

} // namespace

class QtFrontEnd : public ::testing::Test {
protected:
    ScopedTestDir dir;
};

TEST_F(QtFrontEnd, MainWindowControlsAndTexts) {
    Windows w;
    TFormMain& m = w.main;
    EXPECT_EQ(m.windowTitle(), "Zem");
    EXPECT_EQ(m.size(), QSize(377, 231));
    EXPECT_EQ(m.minimumSize(), m.maximumSize()); // fixed border
    EXPECT_FALSE(m.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(m.toolTip(), "Zem " ZEM_VERSION);

    struct Control {
        const char* name;
        QRect place;
        const char* text; // nullptr: not checked
    };
    const Control controls[] = {
        {"ComboBoxPort", {48, 16, 105, 21}, nullptr},
        {"ComboBoxSpeed", {48, 48, 105, 21}, "115200"},
        {"GroupBoxHeader", {160, 8, 201, 89}, "Stream Info"},
        {"ButtonDebug", {8, 80, 129, 17}, "Show Debug Info"},
        {"EditFilePath", {8, 112, 305, 21}, ""},
        {"ButtonSfoglia", {320, 112, 49, 21}, "Browse"},
        {"ButtonProgram", {8, 152, 361, 25}, "Program"},
        {"ProgressBar", {8, 184, 361, 17}, nullptr},
        {"LabelPort", {}, "Port"},
        {"LabelSpeed", {}, "Speed"},
        {"LabelSV", {}, "Software Version:"},
        {"LabelPN", {}, "Product Name:"},
    };
    for (const Control& c : controls) {
        SCOPED_TRACE(c.name);
        auto* widget = m.findChild<QWidget*>(c.name);
        ASSERT_NE(widget, nullptr);
        if (!c.place.isNull()) {
            EXPECT_EQ(widget->geometry(), c.place);
        }
        if (!c.text) continue;
        QString text;
        if (auto* b = qobject_cast<QPushButton*>(widget)) text = b->text();
        if (auto* l = qobject_cast<QLabel*>(widget)) text = l->text();
        if (auto* g = qobject_cast<QGroupBox*>(widget)) text = g->title();
        if (auto* e = qobject_cast<QLineEdit*>(widget)) text = e->text();
        if (auto* cb = qobject_cast<QComboBox*>(widget)) text = cb->currentText();
        EXPECT_EQ(text.toStdString(), c.text);
    }

    QStringList speeds;
    for (int i = 0; i < m.ComboBoxSpeed->count(); ++i)
        speeds << m.ComboBoxSpeed->itemText(i);
    EXPECT_EQ(speeds, QStringList({"921600", "460800", "230400", "115200", "57600", "38400",
                                   "19200", "9600"}));
    EXPECT_EQ(m.ComboBoxPort->itemText(0), "COM3");
    EXPECT_EQ(m.ComboBoxPort->itemText(1), "COM10");
    EXPECT_EQ(m.ComboBoxPort->currentText(), "COM1"); // no settings file: the default
    EXPECT_TRUE(m.ComboBoxPort->isEditable());
    EXPECT_TRUE(m.ComboBoxSpeed->isEditable());
    EXPECT_TRUE(m.ButtonDebug->isHidden());
    EXPECT_EQ(m.ProgressBar->minimum(), 0);
    EXPECT_EQ(m.ProgressBar->maximum(), 100);
    EXPECT_EQ(m.ProgressBar->toolTip(), "Overall percentage");
    EXPECT_EQ(m.StatusText->text(), "The selected file is not a valid");
    EXPECT_EQ(m.StatusBar->geometry(), QRect(0, 209, 377, 22));
    EXPECT_EQ(m.TimerAutoProgram->interval(), 500);
    EXPECT_FALSE(m.TimerAutoProgram->isActive());
    EXPECT_EQ(m.TimerTrigProgram->interval(), 1000);
    EXPECT_TRUE(m.TimerTrigProgram->isActive());

    // Tab order: port, Program, speed, path.
    std::vector<QWidget*> chain;
    const std::vector<QWidget*> named{m.ComboBoxPort, m.ButtonProgram, m.ComboBoxSpeed,
                                      m.EditFilePath};
    for (QWidget* x = m.ComboBoxPort; chain.size() < named.size(); x = x->nextInFocusChain())
        if (std::find(named.begin(), named.end(), x) != named.end()) chain.push_back(x);
    EXPECT_EQ(chain, named);
}

TEST_F(QtFrontEnd, DebugWindowControlsAndClear) {
    Windows w;
    TFormDebug& d = w.debug;
    EXPECT_EQ(d.windowTitle(), "Zem Debug");
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.GroupBoxHeader->title(), "Header Info");
    EXPECT_EQ(d.GroupBoxHeader->geometry(), QRect(8, 8, 193, 161));
    const std::pair<const char*, const char*> captions[] = {{"LabelSV", "Software Version:"},
                                                            {"LabelPN", "Product Name:"},
                                                            {"LabelFT", "Flash Type:"},
                                                            {"LabelHL", "Header Length:"},
                                                            {"LabelStrV", "Stream Version:"},
                                                            {"LabelSO", "Speed Offset:"},
                                                            {"LabelCrc", "Crc: "},
                                                            {"LabelBootType", "BootType: "}};
    for (auto [name, text] : captions) {
        auto* l = d.findChild<QLabel*>(name);
        ASSERT_NE(l, nullptr) << name;
        EXPECT_EQ(l->text(), text);
    }
    EXPECT_EQ(d.LabelFlashType->text(), "Falsh Type"); // design text until the first display
    EXPECT_EQ(d.Memo->geometry(), QRect(8, 184, 193, 153));
    EXPECT_TRUE(d.Memo->isReadOnly());
    EXPECT_EQ(d.ButtonClear->geometry(), QRect(104, 352, 91, 17));

    w.main.AppendDebugLine("Flash Programmer " ZEM_VERSION);
    w.main.AppendDebugLine("Can not open COM9");
    EXPECT_EQ(d.Memo->toPlainText(), "Flash Programmer " ZEM_VERSION "\nCan not open COM9");
    QTest::mouseClick(d.ButtonClear, Qt::LeftButton);
    EXPECT_EQ(d.Memo->toPlainText(), "");
}

TEST_F(QtFrontEnd, HeaderShownOnEnterAndOnTheDebugButton) {
    MakeStream(dir.File("a.bin"), {"--sw-version", "SW 7.1", "--product", "Radio Z"});
    WriteFileBytes(dir.File("Zem.ini"), "[System]\nDebug=1\n[Form]\nTop=30\nLeft=40\n");
    Windows w;
    TFormMain& m = w.main;
    EXPECT_FALSE(m.ButtonDebug->isHidden());

    m.EditFilePath->setText(QString::fromStdString(dir.File("a.bin")));
    QTest::keyClick(m.EditFilePath, Qt::Key_Return);
    EXPECT_EQ(m.LabelSwVer->text(), "SW 7.1");
    EXPECT_EQ(m.LabelProdName->text(), "Radio Z");
    EXPECT_EQ(m.StatusText->text(), "Press Program to start");
    EXPECT_EQ(w.debug.LabelProdName->text(), "Radio Z");
    EXPECT_EQ(w.debug.LabelFlashType->text(), "4MB");
    EXPECT_FALSE(w.debug.isVisible());

    QTest::mouseClick(m.ButtonDebug, Qt::LeftButton);
    EXPECT_TRUE(w.debug.isVisible());
    EXPECT_EQ(w.debug.pos(),
              QPoint(m.frameGeometry().x() + m.frameGeometry().width(), m.frameGeometry().y()));
}

TEST_F(QtFrontEnd, BrowseOffersStreamFilesFirst) {
    fs::create_directories(dir.File("streams"));
    Windows w;
    ModalCloser closer;
    w.main.EditFilePath->setText(QString::fromStdString(dir.File("streams/x.bin")));
    QTest::mouseClick(w.main.ButtonSfoglia, Qt::LeftButton);
    EXPECT_EQ(closer.dialogFilters, QStringList({"binary (*.bin)", "all files (*)"}));
    EXPECT_EQ(OpenDialogFilters("text|*.txt|all|*.*"), QStringList({"text (*.txt)", "all (*)"}));
    EXPECT_EQ(fs::path(closer.dialogDir.toStdString()), fs::path(dir.File("streams")));
    EXPECT_EQ(w.main.EditFilePath->text().toStdString(), dir.File("streams/x.bin"));
}

TEST_F(QtFrontEnd, AlertsAndControlsAroundARun) {
    Windows w;
    ModalCloser closer;
    int disabledSeen = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!w.main.ButtonProgram->isEnabled() && QApplication::overrideCursor()) ++disabledSeen;
    });
    watch.start(5);
    QTest::mouseClick(w.main.ButtonProgram, Qt::LeftButton); // empty path
    EXPECT_EQ(closer.Texts(), Strings{"Stream File not found"});
    EXPECT_EQ(closer.boxes[0].caption, "Zem");
    EXPECT_GT(disabledSeen, 0); // while the alert was up
    EXPECT_EQ(w.main.Logic().ExitCode(), 4);
    EXPECT_TRUE(w.main.ButtonProgram->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    MakeStream(dir.File("s.bin"));
    w.main.EditFilePath->setText(QString::fromStdString(dir.File("s.bin")));
    w.main.ComboBoxPort->setEditText("COM9");
    QTest::mouseClick(w.main.ButtonProgram, Qt::LeftButton);
    EXPECT_EQ(closer.Texts(), (Strings{"Stream File not found", "Can not open COM9"}));
    EXPECT_EQ(w.main.StatusText->text(), "Can not open COM9");
    EXPECT_EQ(w.debug.Memo->toPlainText(), "Flash Programmer " ZEM_VERSION "\nCan not open COM9");
    EXPECT_EQ(w.main.Logic().ExitCode(), 5);
}

TEST_F(QtFrontEnd, StartUpByParameterCount) {
    // Wrong counts: the usage box, code 2, no message loop, nothing written.
    for (const Strings& params :
         {Strings{"a"}, Strings{"a", "b"}, Strings{"a", "b", "c", "1", "e"}}) {
        SCOPED_TRACE(params.size());
        ModalCloser closer;
        EXPECT_EQ(RunZem(params, NoModule()), 2);
        ASSERT_EQ(closer.boxes.size(), 1u);
        EXPECT_EQ(closer.boxes[0].caption, "Wrong parameter number");
        EXPECT_EQ(closer.boxes[0].text, "Usage : Zem stream_file port speed [autoterminate(0/1)]");
        EXPECT_FALSE(closer.boxes[0].icon);
        EXPECT_FALSE(fs::exists(dir.File("Zem.ini")));
    }

    // None: the greeting; closing the window ends the program and saves the settings.
    ModalCloser closer;
    QTimer::singleShot(300, [] {
        for (QWidget* t : QApplication::topLevelWidgets())
            if (t->objectName() == "FormMain") t->close();
    });
    EXPECT_EQ(RunZem({}, NoModule()), 0);
    EXPECT_EQ(closer.Texts(), Strings{"Power off the module, press Program and then power it on."});
    EXPECT_EQ(ReadFileBytes(dir.File("Zem.ini")),
              "[System]\nPort=COM1\nSpeed=115200\nStartPath=\n[Form]\nTop=100\nLeft=100\n");
}

TEST_F(QtFrontEnd, ClosingDuringARunEndsItWithCode7AndSavesTheSettings) {
    const std::string stream =
        MakeStream(dir.File("s.bin"), {"--records", "4000,4000,4000,4000,4000,4000,4000,4000"});
    Simulator sim(stream, {"--flash-latency", "100"});
    ASSERT_FALSE(sim.Port().empty());
    WriteFileBytes(dir.File("Zem.ini"), kSettings);

    bool closed = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* t : QApplication::topLevelWidgets()) {
            auto* m = qobject_cast<TFormMain*>(t);
            if (m && !closed && m->StatusText->text() == "Programming...") {
                closed = true;
                m->close();
            }
        }
    });
    poll.start(5);
    ModalCloser closer;
    EXPECT_EQ(RunZem({stream, sim.Port(), "921600"}), 7);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(closer.boxes.empty());
    std::string ini = ReadFileBytes(dir.File("Zem.ini"));
    EXPECT_NE(ini.find("Port=" + sim.Port() + "\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("Speed=921600\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("; station settings\n"), std::string::npos) << ini;
    EXPECT_NE(sim.Finish(), 0); // the module was not programmed
}

TEST_F(QtFrontEnd, UnattendedProgramEndsItselfWithTheRunsCode) {
    const std::string stream = MakeStream(dir.File("s.bin"), {"--records", "300,5000,200,40"});
    WriteFileBytes(dir.File("Zem.ini"), kSettings);
    struct Row {
        const char* name;
        QStringList simOptions;
        int code;
    };
    const Row rows[] = {
        {"programmed", {}, 0},
        {"record refused", {"--nack", "2:0x45"}, 7},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Simulator sim(stream, r.simOptions);
        ASSERT_FALSE(sim.Port().empty());
        ZemExit e = RunProgram(dir.Path(), {QString::fromStdString(stream),
                                            QString::fromStdString(sim.Port()), "921600", "1"});
        EXPECT_TRUE(e.finished);
        EXPECT_EQ(e.code, r.code);
        EXPECT_EQ(sim.Finish(), r.code == 0 ? 0 : 1);
        EXPECT_EQ(ReadFileBytes(dir.File("Zem.ini")), kSettings);
    }

    // Stream file missing or not valid: the alert closes by itself as well.
    MakeStream(dir.File("bad.bin"), {"--bad-crc"});
    for (auto [file, code] : {std::pair{"missing.bin", 4}, std::pair{"bad.bin", 3}}) {
        SCOPED_TRACE(file);
        ZemExit e = RunProgram(dir.Path(), {file, "COM1", "115200", "1"});
        EXPECT_TRUE(e.finished);
        EXPECT_EQ(e.code, code);
        EXPECT_EQ(ReadFileBytes(dir.File("Zem.ini")), kSettings);
    }

    // A port that does not open: no alert to wait at, the text and its cause on standard error.
    // The network port needs the library the build puts beside the program.
    struct PortRow {
        const char* port;
        const char* cause;
    };
    for (const PortRow& r : {PortRow{"/dev/zem-no-such-port", "Cause: no such device"},
                             PortRow{"tls://127.0.0.1:1", "Cause: connection refused"}}) {
        SCOPED_TRACE(r.port);
        ZemExit e = RunProgram(dir.Path(), {QString::fromStdString(stream), r.port, "921600", "1"});
        EXPECT_TRUE(e.finished);
        EXPECT_EQ(e.code, 5);
        EXPECT_NE(e.err.find(std::string("Can not open ") + r.port + "\n" + r.cause),
                  std::string::npos)
            << e.err;
        EXPECT_EQ(ReadFileBytes(dir.File("Zem.ini")), kSettings);
    }
}

// Texts from files and from the operator are shown as they are, never as markup, and a long one
// is cut within its own space with the full text as its hint.
TEST_F(QtFrontEnd, TextsShowAsTheyAreWithinTheirSpace) {
    const std::string product = "<h1>1.0 A PRODUCT NAME TOO LONG";
    MakeStream(dir.File("a.bin"),
               {"--sw-version", "<b>SW 7</b>", "--product", QString::fromStdString(product)});
    Windows w;
    TFormMain& m = w.main;
    ModalCloser closer;
    m.EditFilePath->setText(QString::fromStdString(dir.File("a.bin")));
    QTest::keyClick(m.EditFilePath, Qt::Key_Return);

    for (QLabel* l : m.findChildren<QLabel*>())
        EXPECT_EQ(l->textFormat(), Qt::PlainText) << l->objectName().toStdString();
    for (QLabel* l : w.debug.findChildren<QLabel*>())
        EXPECT_EQ(l->textFormat(), Qt::PlainText) << l->objectName().toStdString();
    EXPECT_EQ(m.LabelSwVer->text(), "<b>SW 7</b>");
    // Cut, right of its caption, the whole name in its hint, in both windows.
    for (auto [value, caption] :
         {std::pair{m.LabelProdName, m.LabelPN},
          std::pair{w.debug.LabelProdName, w.debug.findChild<QLabel*>("LabelPN")}}) {
        SCOPED_TRACE(value->window()->objectName().toStdString());
        EXPECT_TRUE(value->text().endsWith("...")) << value->text().toStdString();
        EXPECT_EQ(value->toolTip().toStdString(), product);
        EXPECT_GT(value->x(), caption->x() + caption->sizeHint().width());
        EXPECT_LE(value->fontMetrics().horizontalAdvance(value->text()), value->width());
    }
    EXPECT_EQ(m.Logic().StreamValid(), true);

    // A port name that looks like markup, and a status text too long for the bar.
    m.ComboBoxPort->setEditText("<b>COM9");
    QTest::mouseClick(m.ButtonProgram, Qt::LeftButton);
    ASSERT_EQ(closer.boxes.size(), 1u);
    EXPECT_EQ(closer.boxes[0].text, "Can not open <b>COM9");
    EXPECT_TRUE(closer.boxes[0].plain);
    const std::string port(120, 'P');
    m.ComboBoxPort->setEditText(QString::fromStdString(port));
    QTest::mouseClick(m.ButtonProgram, Qt::LeftButton);
    EXPECT_EQ(m.StatusText->toolTip().toStdString(), "Can not open " + port);
    EXPECT_NE(m.StatusText->text(), m.StatusText->toolTip());
    EXPECT_LE(m.StatusText->fontMetrics().horizontalAdvance(m.StatusText->text()),
              m.StatusText->width());
    EXPECT_EQ(w.debug.Memo->toPlainText().toStdString(),
              "Flash Programmer " ZEM_VERSION
              "\nCan not open <b>COM9\nFlash Programmer " ZEM_VERSION "\nCan not open " +
                  port);
}

// A failed run does not look like an idle window: the status text is marked until the next
// action. Enter on the focused Program button starts a run, as on Windows.
TEST_F(QtFrontEnd, OutcomeStandsOutAndEnterPressesTheFocusedButton) {
    Windows w;
    TFormMain& m = w.main;
    ModalCloser closer;
    const QString idle = m.StatusText->styleSheet();
    m.ButtonProgram->setFocus();
    QTest::keyClick(m.ButtonProgram, Qt::Key_Return); // empty path
    EXPECT_EQ(closer.Texts(), Strings{"Stream File not found"});
    EXPECT_EQ(m.Logic().ExitCode(), 4);
    EXPECT_NE(m.StatusText->styleSheet(), idle);
    EXPECT_TRUE(m.StatusText->styleSheet().contains("color")) << "failure shown";
    QTest::keyClick(m.EditFilePath, Qt::Key_Return); // a new header check
    EXPECT_EQ(m.StatusText->styleSheet(), idle);
}

// An exception escaping a handler is shown, and the program ends with its exit code instead of
// dying inside the event loop.
TEST_F(QtFrontEnd, AnExceptionInAHandlerIsShownAndEndsTheProgram) {
    const std::string stream = MakeStream(dir.File("s.bin"));
    zem::Services s = NoModule();
    s.openChannel = [](const std::string&, int32_t, const zem::TlsTrust&,
                       std::string*) -> TChannel* {
        throw std::runtime_error("<i>port driver gone");
    };
    ModalCloser closer;
    EXPECT_EQ(RunZem({stream, "COM9", "115200"}, s), 0);
    ASSERT_EQ(closer.boxes.size(), 1u);
    EXPECT_EQ(closer.boxes[0].text, "<i>port driver gone");
    EXPECT_TRUE(closer.boxes[0].icon);
    EXPECT_TRUE(closer.boxes[0].plain);
}

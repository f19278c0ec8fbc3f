#include "TFormMain.h"

#include "FormFont.h"
#include "Labels.h"
#include "StationSettings.h"
#include "TFormDebug.h"
#include "TFormStation.h"
#include "Texts.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>

using zem::Item;

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

const char* const kSpeeds[] = {"921600", "460800", "230400", "115200",
                               "57600",  "38400",  "19200",  "9600"};

} // namespace

QStringList OpenDialogFilters(const char* filter) {
    QStringList parts = QString(filter).split('|');
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        // "*.*" means every file on Windows; Qt's "*.*" would skip names without a dot.
        QString pattern = parts[i + 1] == "*.*" ? "*" : parts[i + 1];
        // Qt reads the pattern from the text's parentheses; a text may already show it.
        QString text = parts[i];
        if (!text.endsWith("(" + parts[i + 1] + ")")) text += " (" + pattern + ")";
        out << text;
    }
    return out;
}

TFormMain::TFormMain(TFormDebug& formDebug, zem::Services services, QWidget* parent)
    : QWidget(parent), formDebug_(formDebug), stationServices_(services) {
    BuildControls();
    logic_ = std::make_unique<zem::FormMainLogic>(*this, std::move(services));
    logic_->Create();
    // The station is offered where the settings ask for it: a window without a [Station] section
    // stays exactly as it was.
    if (zem::HasStationSection(logic_->SettingsFile())) AddStationButton();
}

void TFormMain::AddStationButton() {
    constexpr int kRow = 29;
    setFixedSize(377, 231 + kRow);
    ButtonStation = new QPushButton("Station...", this);
    ButtonStation->setObjectName("ButtonStation");
    ButtonStation->setGeometry(8, 207, 361, 23);
    ButtonStation->setAutoDefault(true);
    ButtonStation->show();
    StatusBar->setGeometry(0, 231 + kRow - 22, 377, 22);
    setTabOrder(ButtonDebug, ButtonStation);
    connect(ButtonStation, &QPushButton::clicked, this, [this] { OpenStation(); });
}

TFormStation& TFormMain::OpenStation() {
    if (!formStation_)
        formStation_ = std::make_unique<TFormStation>(stationServices_, logic_->SettingsFile());
    formStation_->show();
    formStation_->raise();
    formStation_->activateWindow();
    return *formStation_;
}

TFormMain::~TFormMain() {
    if (busy_) QApplication::restoreOverrideCursor();
}

void TFormMain::BuildControls() {
    setObjectName("FormMain");
    setWindowTitle(zem::txt::kCaption);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(377, 231);
    UseFormFont(*this);
    // Controls without a hint of their own show the window's.
    setToolTip(QString("%1 %2").arg(zem::txt::kCaption, zem::txt::kVersion));

    auto label = [this](QWidget* parent, const char* name, const char* text, int x, int y) {
        auto* l = new QLabel(text, parent);
        l->setObjectName(name);
        l->setTextFormat(Qt::PlainText);
        l->move(x, y);
        l->adjustSize();
        return l;
    };
    auto combo = [this](const char* name, int y) {
        auto* c = new QComboBox(this);
        c->setObjectName(name);
        c->setEditable(true);
        c->setInsertPolicy(QComboBox::NoInsert);
        c->setGeometry(48, y, 105, 21);
        return c;
    };

    LabelPort = label(this, "LabelPort", "Port", 8, 19);
    ComboBoxPort = combo("ComboBoxPort", 16);
    LabelSpeed = label(this, "LabelSpeed", "Speed", 8, 51);
    ComboBoxSpeed = combo("ComboBoxSpeed", 48);
    for (const char* s : kSpeeds)
        ComboBoxSpeed->addItem(s);

    GroupBoxHeader = new QGroupBox("Stream Info", this);
    GroupBoxHeader->setObjectName("GroupBoxHeader");
    GroupBoxHeader->setGeometry(160, 8, 201, 89);
    LabelSV = label(GroupBoxHeader, "LabelSV", "Software Version:", 8, 32);
    LabelPN = label(GroupBoxHeader, "LabelPN", "Product Name:", 8, 56);
    auto value = [this](const char* name, QLabel* caption, int y) {
        auto* l = new QLabel(GroupBoxHeader);
        l->setObjectName(name);
        l->setGeometry(8, y, 193 - 8, 13);
        PairValueLabel(l, caption, 193);
        SetValueText(l, QString());
        return l;
    };
    LabelSwVer = value("LabelSwVer", LabelSV, 32);
    LabelProdName = value("LabelProdName", LabelPN, 56);

    ButtonDebug = new QPushButton("Show Debug Info", this);
    ButtonDebug->setObjectName("ButtonDebug");
    ButtonDebug->setGeometry(8, 80, 129, 17);
    ButtonDebug->hide();

    EditFilePath = new QLineEdit(this);
    EditFilePath->setObjectName("EditFilePath");
    EditFilePath->setGeometry(8, 112, 305, 21);

    ButtonSfoglia = new QPushButton("Browse", this);
    ButtonSfoglia->setObjectName("ButtonSfoglia");
    ButtonSfoglia->setGeometry(320, 112, 49, 21);

    ButtonProgram = new QPushButton("Program", this);
    ButtonProgram->setObjectName("ButtonProgram");
    ButtonProgram->setGeometry(8, 152, 361, 25);

    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setGeometry(8, 184, 361, 17);
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    ProgressBar->setToolTip(zem::txt::kProgressHint);

    // One plain text, no panels; a label rather than showMessage, which hover tips would clear.
    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName("StatusBar");
    StatusBar->setSizeGripEnabled(false);
    StatusBar->setGeometry(0, 231 - 22, 377, 22);
    StatusText = new ElidingLabel(StatusBar);
    StatusText->setObjectName("StatusText");
    StatusBar->addWidget(StatusText, 1);

    setTabOrder(ComboBoxPort, ButtonProgram);
    setTabOrder(ButtonProgram, ComboBoxSpeed);
    setTabOrder(ComboBoxSpeed, EditFilePath);
    setTabOrder(EditFilePath, ButtonSfoglia);
    setTabOrder(ButtonSfoglia, ButtonDebug);

    TimerAutoProgram = new QTimer(this);
    TimerAutoProgram->setObjectName("TimerAutoProgram");
    TimerAutoProgram->setInterval(500);
    TimerTrigProgram = new QTimer(this);
    TimerTrigProgram->setObjectName("TimerTrigProgram");
    TimerTrigProgram->setInterval(1000);
    TimerTrigProgram->start();

    // Enter presses the focused button, as on Windows.
    for (QPushButton* b : {ButtonProgram, ButtonSfoglia, ButtonDebug})
        b->setAutoDefault(true);

    connect(ButtonProgram, &QPushButton::clicked, this,
            [this] { Guarded([this] { logic_->ButtonProgramClick(); }); });
    connect(ButtonSfoglia, &QPushButton::clicked, this,
            [this] { Guarded([this] { logic_->ButtonSfogliaClick(); }); });
    connect(ButtonDebug, &QPushButton::clicked, this,
            [this] { Guarded([this] { logic_->ButtonDebugClick(true); }); });
    connect(EditFilePath, &QLineEdit::returnPressed, this,
            [this] { Guarded([this] { logic_->EditFilePathKeyDown(13); }); });
    connect(TimerAutoProgram, &QTimer::timeout, this,
            [this] { Guarded([this] { logic_->TimerAutoProgramTimer(); }); });
    connect(TimerTrigProgram, &QTimer::timeout, this,
            [this] { Guarded([this] { logic_->TimerTrigProgramTimer(); }); });
}

void TFormMain::Guarded(const std::function<void()>& handler) {
    // An exception must not cross Qt's event loop (that ends the process without a word): it is
    // shown as an error, and the program ends with the exit code it has.
    try {
        handler();
        return;
    } catch (const std::exception& e) {
        ShowException(e.what());
    } catch (...) {
        ShowException("");
    }
    RequestQuit();
}

void TFormMain::ShowException(const std::string& text) {
    QMessageBox box(QMessageBox::Critical, windowTitle(), Q(text), QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

QWidget* TFormMain::Widget(Item item) {
    switch (item) {
    case Item::ComboBoxPort:
        return ComboBoxPort;
    case Item::ComboBoxSpeed:
        return ComboBoxSpeed;
    case Item::EditFilePath:
        return EditFilePath;
    case Item::ButtonProgram:
        return ButtonProgram;
    case Item::ButtonSfoglia:
        return ButtonSfoglia;
    case Item::ButtonDebug:
        return ButtonDebug;
    default:
        return LabelOf(item);
    }
}

QLabel* TFormMain::LabelOf(Item item) {
    switch (item) {
    case Item::LabelSwVer:
        return LabelSwVer;
    case Item::LabelProdName:
        return LabelProdName;
    case Item::StatusBar:
        return StatusText;
    case Item::DebugSwVer:
        return formDebug_.LabelSwVer;
    case Item::DebugProdName:
        return formDebug_.LabelProdName;
    case Item::DebugFlashType:
        return formDebug_.LabelFlashType;
    case Item::DebugHeaderLength:
        return formDebug_.LabelHeaderLength;
    case Item::DebugStrVer:
        return formDebug_.LabelStrVer;
    case Item::DebugSpeedOff:
        return formDebug_.LabelSpeedOff;
    case Item::DebugCrcHex:
        return formDebug_.LabelCrcHex;
    case Item::DebugBootTypeHex:
        return formDebug_.LabelBootTypeHex;
    default:
        return nullptr;
    }
}

std::string TFormMain::Text(Item item) {
    switch (item) {
    case Item::ComboBoxPort:
        return ComboBoxPort->currentText().toStdString();
    case Item::ComboBoxSpeed:
        return ComboBoxSpeed->currentText().toStdString();
    case Item::EditFilePath:
        return EditFilePath->text().toStdString();
    default: {
        QLabel* l = LabelOf(item);
        return l ? FullText(l).toStdString() : std::string();
    }
    }
}

void TFormMain::SetText(Item item, const std::string& text) {
    switch (item) {
    case Item::ComboBoxPort:
        ComboBoxPort->setEditText(Q(text));
        return;
    case Item::ComboBoxSpeed:
        ComboBoxSpeed->setEditText(Q(text));
        return;
    case Item::EditFilePath:
        EditFilePath->setText(Q(text));
        return;
    case Item::StatusBar:
        static_cast<ElidingLabel*>(StatusText)->SetFullText(Q(text));
        return;
    case Item::LabelSwVer:
    case Item::LabelProdName:
        SetValueText(LabelOf(item), Q(text));
        return;
    default:
        if (QLabel* l = LabelOf(item)) formDebug_.SetValue(l, Q(text));
        return;
    }
}

void TFormMain::SetEnabled(Item item, bool enabled) {
    if (QWidget* w = Widget(item)) w->setEnabled(enabled);
}

void TFormMain::SetVisible(Item item, bool visible) {
    if (QWidget* w = Widget(item)) w->setVisible(visible);
}

void TFormMain::SetProgress(int percent) {
    // Out-of-range positions stick at the ends, as a progress control does.
    ProgressBar->setValue(std::clamp(percent, 0, 100));
}

void TFormMain::ShowOutcome(zem::RunOutcome outcome) {
    // Colour and weight, so that a failed run is not taken for an idle window at a glance.
    switch (outcome) {
    case zem::RunOutcome::kNone:
        StatusText->setStyleSheet(QString());
        break;
    case zem::RunOutcome::kSucceeded:
        StatusText->setStyleSheet("color: #006400; font-weight: bold;");
        break;
    case zem::RunOutcome::kFailed:
        StatusText->setStyleSheet("color: #c00000; font-weight: bold;");
        break;
    }
}

void TFormMain::SetPortItems(const std::vector<std::string>& ports) {
    ComboBoxPort->clear();
    for (const auto& p : ports)
        ComboBoxPort->addItem(Q(p));
    if (!ports.empty()) ComboBoxPort->setCurrentIndex(0);
}

void TFormMain::ShowAlert(const std::string& text) {
    if (isMinimized()) showNormal();
    raise();
    activateWindow();
    QApplication::beep();
    // After a quit request a box would close at once; show none.
    if (quitRequested_) return;
    QMessageBox box(QMessageBox::NoIcon, windowTitle(), Q(text), QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void TFormMain::ShowError(const std::string& text) {
    QMessageBox box(QMessageBox::Critical, windowTitle(), Q(text), QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void TFormMain::ShowMessage(const std::string& caption, const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, Q(caption), Q(text), QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

std::optional<std::string> TFormMain::RunOpenDialog(const std::string& initialDir) {
    QFileDialog dialog(this, QString(), Q(initialDir));
    dialog.setObjectName("OpenDialog");
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(OpenDialogFilters(zem::txt::kOpenFilter));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

void TFormMain::ProcessPendingMessages() {
    QCoreApplication::processEvents();
}

void TFormMain::SetBusyCursor(bool busy) {
    if (busy == busy_) return;
    busy_ = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

zem::WindowRect TFormMain::MainWindowRect() {
    QRect r = frameGeometry();
    return {r.x(), r.y(), r.width(), r.height()};
}

void TFormMain::MoveMainWindow(int left, int top) {
    move(left, top);
}

void TFormMain::EnableAutoProgramTimer(bool enabled) {
    if (enabled)
        TimerAutoProgram->start();
    else
        TimerAutoProgram->stop();
}

void TFormMain::RequestQuit() {
    quitRequested_ = true;
    QCoreApplication::exit(0);
}

void TFormMain::AppendDebugLine(const std::string& line) {
    formDebug_.Memo->appendPlainText(Q(line));
}

void TFormMain::ClearDebugLines() {
    formDebug_.Memo->clear();
}

bool TFormMain::DebugWindowVisible() {
    return formDebug_.isVisible();
}

void TFormMain::ShowDebugWindowAt(int left, int top) {
    formDebug_.move(left, top);
    formDebug_.show();
}

void TFormMain::closeEvent(QCloseEvent* event) {
    // The station closes first, with its own question about the modules it is programming.
    if (formStation_ && formStation_->isVisible() && !formStation_->close()) {
        event->ignore();
        return;
    }
    bool closing = false;
    Guarded([&] { closing = logic_->FormClose(); });
    if (!closing && !quitRequested_) {
        event->ignore();
        return;
    }
    event->accept();
    // The main window's close ends the program, once a run in progress has returned.
    RequestQuit();
}

#include "TFormStation.h"

#include "FormFont.h"
#include "Labels.h"
#include "TFormMain.h"
#include "Texts.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileDialog>
#include <QFontInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

using zem::StationItem;

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

const char* const kSpeeds[] = {"921600", "460800", "230400", "115200",
                               "57600",  "38400",  "19200",  "9600"};

// Port names are cut in the middle, where two device paths are alike; other texts at their end.
class ElideByColumn : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode =
            index.column() == TFormStation::kPort ? Qt::ElideMiddle : Qt::ElideRight;
    }
};

// A table cell whose text is cut at the column's width shows the whole text as its hint.
void SetCell(QTableWidget* table, int row, int column, const QString& text, const QString& hint) {
    QTableWidgetItem* item = table->item(row, column);
    if (!item) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsEnabled);
        table->setItem(row, column, item);
    }
    if (item->text() != text) item->setText(text);
    if (item->toolTip() != hint) item->setToolTip(hint);
}

} // namespace

TFormStation::TFormStation(zem::Services services, const std::string& settingsFile, QWidget* parent)
    : QWidget(parent) {
    BuildControls();
    logic_ = std::make_unique<zem::StationLogic>(*this, std::move(services), settingsFile);
    logic_->Create();
}

TFormStation::~TFormStation() {
    // The station's threads end before the widgets their wake-ups would reach.
    logic_.reset();
}

void TFormStation::BuildControls() {
    setObjectName("FormStation");
    setWindowTitle(QString(zem::txt::kCaption) + " Station");
    setWindowFlag(Qt::Window);
    UseFormFont(*this);
    resize(900, 440);

    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(8, 8, 8, 0);

    auto* setup = new QGridLayout;
    top->addLayout(setup);
    auto row = [this, setup](int r, const char* caption, QLineEdit*& edit, const char* editName,
                             QPushButton*& button, const char* buttonText, const char* buttonName) {
        auto* l = new QLabel(caption, this);
        l->setTextFormat(Qt::PlainText);
        setup->addWidget(l, r, 0);
        edit = new QLineEdit(this);
        edit->setObjectName(editName);
        edit->setMinimumWidth(220);
        setup->addWidget(edit, r, 1);
        button = new QPushButton(buttonText, this);
        button->setObjectName(buttonName);
        setup->addWidget(button, r, 2);
    };
    row(0, "Ports", EditPorts, "EditPorts", ButtonPorts, "Ports...", "ButtonPorts");
    row(1, "Stream file", EditStream, "EditStream", ButtonStream, "Browse", "ButtonStream");
    row(2, "Results log", EditResults, "EditResults", ButtonResults, "Choose...", "ButtonResults");
    row(3, "Dump folder", EditDumpDir, "EditDumpDir", ButtonDumpDir, "Choose...", "ButtonDumpDir");
    EditPorts->setPlaceholderText("COM3,COM4 or host:port");
    EditResults->setPlaceholderText("no results log");

    auto* speedLabel = new QLabel("Speed", this);
    setup->addWidget(speedLabel, 0, 3);
    ComboBoxSpeed = new QComboBox(this);
    ComboBoxSpeed->setObjectName("ComboBoxSpeed");
    ComboBoxSpeed->setEditable(true);
    ComboBoxSpeed->setInsertPolicy(QComboBox::NoInsert);
    ComboBoxSpeed->setMinimumWidth(100);
    for (const char* s : kSpeeds)
        ComboBoxSpeed->addItem(s);
    setup->addWidget(ComboBoxSpeed, 0, 4);
    setup->setColumnStretch(1, 1);

    auto* buttons = new QHBoxLayout;
    top->addLayout(buttons);
    ButtonStart = new QPushButton("&Start", this);
    ButtonStart->setObjectName("ButtonStart");
    ButtonStop = new QPushButton("S&top", this);
    ButtonStop->setObjectName("ButtonStop");
    ButtonAbort = new QPushButton("&Abort", this);
    ButtonAbort->setObjectName("ButtonAbort");
    for (QPushButton* b : {ButtonStart, ButtonStop, ButtonAbort})
        buttons->addWidget(b);
    buttons->addStretch(1);
    ButtonLarge = new QPushButton("&Large view", this);
    ButtonLarge->setObjectName("ButtonLarge");
    ButtonLarge->setCheckable(true);
    buttons->addWidget(ButtonLarge);

    // The stream's header, then the totals, each value beside its caption.
    auto line = [this, top] {
        auto* l = new QHBoxLayout;
        top->addLayout(l);
        return l;
    };
    auto pair = [this](QHBoxLayout* in, const char* caption, const char* name, int width,
                       int stretch) {
        auto* l = new QLabel(caption, this);
        l->setTextFormat(Qt::PlainText);
        in->addWidget(l);
        auto* v = new ElidingLabel(this);
        v->setObjectName(name);
        v->setMinimumWidth(width);
        // A number keeps its room; a header text takes what is left and is cut there.
        if (stretch == 0) v->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        in->addWidget(v, stretch);
        in->addSpacing(16);
        return v;
    };
    QHBoxLayout* header = line();
    LabelSwVer = pair(header, "Software Version:", "LabelSwVer", 120, 1);
    LabelProdName = pair(header, "Product Name:", "LabelProdName", 120, 1);
    QHBoxLayout* totals = line();
    LabelProgrammed = pair(totals, "Programmed:", "LabelProgrammed", 60, 0);
    LabelFailed = pair(totals, "Failed:", "LabelFailed", 60, 0);
    LabelYield = pair(totals, "Yield:", "LabelYield", 190, 0);
    LabelPerHour = pair(totals, "Modules per hour:", "LabelPerHour", 70, 0);
    totals->addStretch(1);

    Table = new QTableWidget(0, kColumns, this);
    Table->setObjectName("Table");
    Table->setHorizontalHeaderLabels(
        {"Port", "State", "Progress", "Status", "Runs", "Programmed", "Failed", "Last run"});
    Table->verticalHeader()->hide();
    Table->setSelectionMode(QAbstractItemView::NoSelection);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setItemDelegate(new ElideByColumn(Table));
    Table->setWordWrap(false);
    // Two lines a row: the port and its stable alias, the status and its cause.
    Table->verticalHeader()->setDefaultSectionSize(Table->fontMetrics().lineSpacing() * 2 + 8);
    Table->setToolTip("Double-click a row for its history");
    QHeaderView* h = Table->horizontalHeader();
    h->setSectionResizeMode(QHeaderView::Interactive);
    h->setSectionResizeMode(kStatus, QHeaderView::Stretch);
    Table->setColumnWidth(kPort, 180);
    Table->setColumnWidth(kState, 130);
    Table->setColumnWidth(kProgress, 100);
    for (int c : {kRuns, kProgrammed, kFailed, kLastRun})
        Table->setColumnWidth(c, 70);
    top->addWidget(Table, 1);

    TileArea = new QScrollArea(this);
    TileArea->setObjectName("TileArea");
    TileArea->setWidgetResizable(true);
    tileHost_ = new QWidget(TileArea);
    tileGrid_ = new QGridLayout(tileHost_);
    tileGrid_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    TileArea->setWidget(tileHost_);
    TileArea->hide();
    top->addWidget(TileArea, 1);

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName("StatusBar");
    StatusText = new ElidingLabel(StatusBar);
    StatusText->setObjectName("StatusText");
    StatusBar->addWidget(StatusText, 1);
    LineText = new QLabel(StatusBar);
    LineText->setObjectName("LineText");
    StatusBar->addPermanentWidget(LineText);
    top->addWidget(StatusBar);

    TimerFlush = new QTimer(this);
    TimerFlush->setObjectName("TimerFlush");
    TimerFlush->setSingleShot(true);
    connect(TimerFlush, &QTimer::timeout, this, [this] { logic_->Flush(); });

    connect(ButtonLarge, &QPushButton::toggled, this, [this](bool on) { SetLarge(on); });
    connect(Table, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { logic_->RowActivated(static_cast<size_t>(row)); });
    connect(ButtonPorts, &QPushButton::clicked, this, [this] { logic_->ButtonPortsClick(); });
    connect(ButtonStream, &QPushButton::clicked, this, [this] { logic_->ButtonStreamClick(); });
    connect(ButtonResults, &QPushButton::clicked, this, [this] { logic_->ButtonResultsClick(); });
    connect(ButtonDumpDir, &QPushButton::clicked, this, [this] { logic_->ButtonDumpDirClick(); });
    connect(ButtonStart, &QPushButton::clicked, this, [this] { logic_->ButtonStartClick(); });
    connect(ButtonStop, &QPushButton::clicked, this, [this] { logic_->ButtonStopClick(); });
    connect(ButtonAbort, &QPushButton::clicked, this, [this] { logic_->ButtonAbortClick(); });
    connect(EditStream, &QLineEdit::editingFinished, this, [this] { logic_->StreamEdited(); });
    connect(EditPorts, &QLineEdit::editingFinished, this, [this] { logic_->PortsEdited(); });
}

QWidget* TFormStation::Widget(StationItem item) {
    switch (item) {
    case StationItem::EditPorts:
        return EditPorts;
    case StationItem::ComboBoxSpeed:
        return ComboBoxSpeed;
    case StationItem::EditStream:
        return EditStream;
    case StationItem::LabelSwVer:
        return LabelSwVer;
    case StationItem::LabelProdName:
        return LabelProdName;
    case StationItem::EditResults:
        return EditResults;
    case StationItem::EditDumpDir:
        return EditDumpDir;
    case StationItem::LabelProgrammed:
        return LabelProgrammed;
    case StationItem::LabelFailed:
        return LabelFailed;
    case StationItem::LabelYield:
        return LabelYield;
    case StationItem::LabelPerHour:
        return LabelPerHour;
    case StationItem::ButtonPorts:
        return ButtonPorts;
    case StationItem::ButtonStream:
        return ButtonStream;
    case StationItem::ButtonResults:
        return ButtonResults;
    case StationItem::ButtonDumpDir:
        return ButtonDumpDir;
    case StationItem::ButtonStart:
        return ButtonStart;
    case StationItem::ButtonStop:
        return ButtonStop;
    case StationItem::ButtonAbort:
        return ButtonAbort;
    case StationItem::StatusBar:
        return StatusText;
    case StationItem::StatusLine:
        return LineText;
    }
    return nullptr;
}

std::string TFormStation::Text(StationItem item) {
    QWidget* w = Widget(item);
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text().toStdString();
    if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText().toStdString();
    if (auto* l = qobject_cast<QLabel*>(w)) return FullText(l).toStdString();
    return {};
}

void TFormStation::SetText(StationItem item, const std::string& text) {
    QWidget* w = Widget(item);
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        e->setText(Q(text));
        e->setToolTip(Q(text));
    } else if (auto* c = qobject_cast<QComboBox*>(w)) {
        c->setCurrentText(Q(text));
    } else if (auto* l = dynamic_cast<ElidingLabel*>(w)) {
        l->SetFullText(Q(text));
    } else if (auto* plain = qobject_cast<QLabel*>(w)) {
        plain->setText(Q(text));
    }
}

void TFormStation::SetEnabled(StationItem item, bool enabled) {
    if (QWidget* w = Widget(item)) w->setEnabled(enabled);
}

void TFormStation::SetRowCount(size_t rows) {
    for (Tile& t : tiles)
        delete t.frame;
    tiles.clear();
    // The state in large type: twice the window's, however its size was given.
    QFont large = font();
    if (large.pointSizeF() > 0)
        large.setPointSizeF(large.pointSizeF() * 2);
    else
        large.setPixelSize(QFontInfo(font()).pixelSize() * 2);
    large.setBold(true);
    for (size_t i = 0; i < rows; ++i) {
        Tile t;
        t.frame = new QFrame(tileHost_);
        t.frame->setFrameShape(QFrame::StyledPanel);
        t.frame->setFixedWidth(fontMetrics().averageCharWidth() * 36);
        auto* v = new QVBoxLayout(t.frame);
        t.port = new QLabel(t.frame);
        t.alias = new QLabel(t.frame);
        t.state = new QLabel(t.frame);
        t.state->setFont(large);
        t.state->setAlignment(Qt::AlignCenter);
        t.state->setWordWrap(true);
        t.state->setAutoFillBackground(true);
        t.bar = new QProgressBar(t.frame);
        t.bar->setRange(0, 100);
        t.status = new QLabel(t.frame);
        t.status->setWordWrap(true);
        t.status->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        t.status->setMinimumHeight(fontMetrics().lineSpacing() * 5);
        for (QLabel* l : {t.port, t.alias, t.state, t.status})
            l->setTextFormat(Qt::PlainText);
        for (QWidget* w :
             std::initializer_list<QWidget*>{t.port, t.alias, t.state, t.bar, t.status})
            v->addWidget(w);
        const int perLine = 4;
        tileGrid_->addWidget(t.frame, static_cast<int>(i) / perLine, static_cast<int>(i) % perLine);
        int row = static_cast<int>(i);
        t.frame->installEventFilter(this);
        t.frame->setProperty("row", row);
        tiles.push_back(t);
    }
    Table->setRowCount(static_cast<int>(rows));
    for (int r = 0; r < static_cast<int>(rows); ++r) {
        if (Table->cellWidget(r, kProgress)) continue;
        auto* bar = new QProgressBar(Table);
        bar->setRange(0, 100);
        bar->setTextVisible(true);
        Table->setCellWidget(r, kProgress, bar);
    }
}

void TFormStation::SetRow(size_t index, const zem::StationRow& row) {
    int r = static_cast<int>(index);
    if (r >= Table->rowCount()) return;
    QString port = Q(row.port);
    QString portText = row.alias.empty() ? port : port + "\n" + Q(row.alias);
    SetCell(Table, r, kPort, portText, portText);
    SetCell(Table, r, kState, Q(row.stateText), Q(row.stateText));
    QString status = row.cause.empty() ? Q(row.status) : Q(row.status) + "\n" + Q(row.cause);
    SetCell(Table, r, kStatus, status, status);
    SetCell(Table, r, kRuns, Q(row.runs), {});
    SetCell(Table, r, kProgrammed, Q(row.programmed), {});
    SetCell(Table, r, kFailed, Q(row.failed), {});
    SetCell(Table, r, kLastRun, Q(row.lastRun), {});
    QColor colour(QRgb(row.colour));
    if (QTableWidgetItem* state = Table->item(r, kState))
        if (state->background().color() != colour) state->setBackground(colour);
    if (auto* bar = qobject_cast<QProgressBar*>(Table->cellWidget(r, kProgress)))
        if (bar->value() != row.progress) bar->setValue(row.progress);
    if (index < tiles.size()) {
        Tile& t = tiles[index];
        int width = t.frame->width() - 24;
        t.port->setText(t.port->fontMetrics().elidedText(port, Qt::ElideMiddle, width));
        t.port->setToolTip(port);
        t.alias->setText(t.alias->fontMetrics().elidedText(Q(row.alias), Qt::ElideMiddle, width));
        t.alias->setVisible(!row.alias.empty());
        t.state->setText(Q(row.stateText));
        QPalette p = t.state->palette();
        p.setColor(QPalette::Window, row.started ? colour : palette().color(QPalette::Window));
        t.state->setPalette(p);
        t.bar->setValue(row.progress);
        t.status->setText(status);
    }
}

void TFormStation::SetLarge(bool large) {
    Table->setVisible(!large);
    TileArea->setVisible(large);
}

bool TFormStation::eventFilter(QObject* watched, QEvent* event) {
    // A tile opens its row's history as the table's row does.
    if (event->type() == QEvent::MouseButtonDblClick) {
        QVariant row = watched->property("row");
        if (row.isValid()) {
            logic_->RowActivated(static_cast<size_t>(row.toInt()));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TFormStation::PostWake() {
    // From a port's thread: Qt's queue carries the wake-up to the GUI thread, and a window
    // already gone drops it.
    QMetaObject::invokeMethod(
        this,
        [this] {
            ++wakes;
            logic_->Wake();
        },
        Qt::QueuedConnection);
}

void TFormStation::StartFlushTimer(uint32_t ms) {
    TimerFlush->start(static_cast<int>(ms));
}

std::optional<std::vector<std::string>>
TFormStation::ChoosePorts(const std::vector<std::string>& available,
                          const std::vector<std::string>& chosen) {
    QDialog dialog(this);
    dialog.setObjectName("PortsDialog");
    dialog.setWindowTitle("Ports");
    auto* layout = new QVBoxLayout(&dialog);
    auto* list = new QListWidget(&dialog);
    list->setSelectionMode(QAbstractItemView::MultiSelection);
    layout->addWidget(list);
    std::vector<std::string> all = available;
    // Ports typed by hand (network ports) stay in the list and stay chosen.
    for (const auto& c : chosen)
        if (std::find(all.begin(), all.end(), c) == all.end()) all.push_back(c);
    for (const auto& name : all) {
        auto* item = new QListWidgetItem(Q(name), list);
        item->setSelected(std::find(chosen.begin(), chosen.end(), name) != chosen.end());
    }
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(box, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(box);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    std::vector<std::string> picked;
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->isSelected()) picked.push_back(list->item(i)->text().toStdString());
    return picked;
}

std::optional<std::string> TFormStation::RunOpenDialog(const std::string& initialDir) {
    QFileDialog dialog(this, QString(), Q(initialDir));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(OpenDialogFilters(zem::txt::kOpenFilter));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

std::optional<std::string> TFormStation::RunSaveDialog(const std::string& initialPath) {
    QFileDialog dialog(this, "Results log", Q(initialPath));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // The log is appended to, never replaced: choosing an existing file is no overwrite.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

std::optional<std::string> TFormStation::RunFolderDialog(const std::string& initialDir) {
    QString dir = QFileDialog::getExistingDirectory(this, "Dump folder", Q(initialDir));
    if (dir.isEmpty()) return std::nullopt;
    return dir.toStdString();
}

bool TFormStation::Confirm(const std::string& text) {
    if (confirmHook) return confirmHook(text);
    QMessageBox box(QMessageBox::Question, windowTitle(), Q(text),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void TFormStation::ShowError(const std::string& text) {
    if (errorHook) return errorHook(text);
    QMessageBox box(QMessageBox::Critical, windowTitle(), Q(text), QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void TFormStation::ShowHistory(const std::string& title, const std::vector<std::string>& lines) {
    if (historyHook) return historyHook(title, lines);
    QDialog dialog(this);
    dialog.setObjectName("HistoryDialog");
    dialog.setWindowTitle(Q(title));
    auto* layout = new QVBoxLayout(&dialog);
    auto* list = new QListWidget(&dialog);
    for (const auto& l : lines)
        list->addItem(Q(l));
    list->scrollToBottom();
    layout->addWidget(list);
    auto* box = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(box, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(box);
    dialog.resize(640, 360);
    dialog.exec();
}

void TFormStation::closeEvent(QCloseEvent* event) {
    if (logic_->CloseRequest())
        event->accept();
    else
        event->ignore();
}

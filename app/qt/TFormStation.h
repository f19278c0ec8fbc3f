#pragma once
#include "Services.h"
#include "StationLogic.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QComboBox;
class QFrame;
class QGridLayout;
class QProgressBar;
class QScrollArea;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QTableWidget;
class QTimer;

// The station window on Qt Widgets: a row per port over the station logic. The station's events
// arrive through Qt's queue; the logic decides when to redraw.
class TFormStation : public QWidget, public zem::StationView {
    Q_OBJECT
public:
    TFormStation(zem::Services services, const std::string& settingsFile,
                 QWidget* parent = nullptr);
    ~TFormStation() override;

    zem::StationLogic& Logic() { return *logic_; }

    // Columns of the port table.
    enum Column {
        kPort,
        kState,
        kProgress,
        kStatus,
        kRuns,
        kProgrammed,
        kFailed,
        kLastRun,
        kColumns
    };

    QLineEdit* EditPorts = nullptr;
    QPushButton* ButtonPorts = nullptr;
    QComboBox* ComboBoxSpeed = nullptr;
    QLineEdit* EditStream = nullptr;
    QPushButton* ButtonStream = nullptr;
    QLabel* LabelSwVer = nullptr;
    QLabel* LabelProdName = nullptr;
    QLineEdit* EditResults = nullptr;
    QPushButton* ButtonResults = nullptr;
    QLineEdit* EditDumpDir = nullptr;
    QPushButton* ButtonDumpDir = nullptr;
    QLabel* LabelProgrammed = nullptr;
    QLabel* LabelFailed = nullptr;
    QLabel* LabelYield = nullptr;
    QLabel* LabelPerHour = nullptr;
    QPushButton* ButtonStart = nullptr;
    QPushButton* ButtonStop = nullptr;
    QPushButton* ButtonAbort = nullptr;
    QTableWidget* Table = nullptr;
    // The large layout: one tile per port, its state in large type, for a station read from a
    // distance; "Large view" switches between it and the table.
    QPushButton* ButtonLarge = nullptr;
    QScrollArea* TileArea = nullptr;
    struct Tile {
        QFrame* frame = nullptr;
        QLabel* port = nullptr;
        QLabel* alias = nullptr;
        QLabel* state = nullptr;
        QProgressBar* bar = nullptr;
        QLabel* status = nullptr;
    };
    std::vector<Tile> tiles;
    QStatusBar* StatusBar = nullptr;
    QLabel* StatusText = nullptr;
    QLabel* LineText = nullptr; // the line's backlog, at the status bar's right
    QTimer* TimerFlush = nullptr;

    // The tests answer the window's questions and see its errors instead of a modal box.
    std::function<bool(const std::string&)> confirmHook;
    std::function<void(const std::string&)> errorHook;
    std::function<void(const std::string&, const std::vector<std::string>&)> historyHook;
    // How many wake-ups reached the GUI thread (the tests see the coalescing).
    int wakes = 0;

    // zem::StationView
    std::string Text(zem::StationItem item) override;
    void SetText(zem::StationItem item, const std::string& text) override;
    void SetEnabled(zem::StationItem item, bool enabled) override;
    void SetRowCount(size_t rows) override;
    void SetRow(size_t index, const zem::StationRow& row) override;
    void PostWake() override;
    void StartFlushTimer(uint32_t ms) override;
    std::optional<std::vector<std::string>>
    ChoosePorts(const std::vector<std::string>& available,
                const std::vector<std::string>& chosen) override;
    std::optional<std::string> RunOpenDialog(const std::string& initialDir) override;
    std::optional<std::string> RunSaveDialog(const std::string& initialPath) override;
    std::optional<std::string> RunFolderDialog(const std::string& initialDir) override;
    bool Confirm(const std::string& text) override;
    void ShowError(const std::string& text) override;
    void ShowHistory(const std::string& title, const std::vector<std::string>& lines) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void SetLarge(bool large);
    QWidget* Widget(zem::StationItem item);

    std::unique_ptr<zem::StationLogic> logic_;
    QWidget* tileHost_ = nullptr;
    QGridLayout* tileGrid_ = nullptr;
};

#pragma once
#include "FormMainLogic.h"
#include "MainView.h"
#include "Services.h"

#include <QWidget>

#include <functional>
#include <memory>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTimer;
class TFormDebug;
class TFormStation;

// The main window on Qt Widgets: builds the controls, forwards their events to the window logic
// and carries out what the logic asks of the view.
class TFormMain : public QWidget, public zem::MainView {
    Q_OBJECT
public:
    TFormMain(TFormDebug& formDebug, zem::Services services, QWidget* parent = nullptr);
    ~TFormMain() override;

    zem::FormMainLogic& Logic() { return *logic_; }
    bool QuitRequested() const { return quitRequested_; }

    QLabel* LabelPort = nullptr;
    QComboBox* ComboBoxPort = nullptr;
    QLabel* LabelSpeed = nullptr;
    QComboBox* ComboBoxSpeed = nullptr;
    QGroupBox* GroupBoxHeader = nullptr;
    QLabel* LabelSV = nullptr;
    QLabel* LabelSwVer = nullptr;
    QLabel* LabelPN = nullptr;
    QLabel* LabelProdName = nullptr;
    QPushButton* ButtonDebug = nullptr;
    QLineEdit* EditFilePath = nullptr;
    QPushButton* ButtonSfoglia = nullptr;
    QPushButton* ButtonProgram = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QStatusBar* StatusBar = nullptr;
    QLabel* StatusText = nullptr;
    QTimer* TimerAutoProgram = nullptr;
    QTimer* TimerTrigProgram = nullptr;
    QPushButton* ButtonStation = nullptr; // only when "Zem.ini" has a [Station] section

    // Shows the station window, made on first use.
    TFormStation& OpenStation();

    // zem::MainView
    std::string Text(zem::Item item) override;
    void SetText(zem::Item item, const std::string& text) override;
    void SetEnabled(zem::Item item, bool enabled) override;
    void SetVisible(zem::Item item, bool visible) override;
    void SetProgress(int percent) override;
    void ShowOutcome(zem::RunOutcome outcome) override;
    void SetPortItems(const std::vector<std::string>& ports) override;
    void ShowAlert(const std::string& text) override;
    void ShowError(const std::string& text) override;
    void ShowMessage(const std::string& caption, const std::string& text) override;
    std::optional<std::string> RunOpenDialog(const std::string& initialDir) override;
    void ProcessPendingMessages() override;
    void SetBusyCursor(bool busy) override;
    zem::WindowRect MainWindowRect() override;
    void MoveMainWindow(int left, int top) override;
    void EnableAutoProgramTimer(bool enabled) override;
    void RequestQuit() override;
    void AppendDebugLine(const std::string& line) override;
    void ClearDebugLines() override;
    bool DebugWindowVisible() override;
    void ShowDebugWindowAt(int left, int top) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    QWidget* Widget(zem::Item item);
    QLabel* LabelOf(zem::Item item);
    // Runs an event handler; an exception from it is shown and ends the program.
    void Guarded(const std::function<void()>& handler);
    void ShowException(const std::string& text);

    void AddStationButton();

    TFormDebug& formDebug_;
    zem::Services stationServices_;
    std::unique_ptr<TFormStation> formStation_;
    std::unique_ptr<zem::FormMainLogic> logic_;
    bool quitRequested_ = false;
    bool busy_ = false;
};

// The file-open dialog's filters in Qt's form, from "text|pattern|text|pattern".
QStringList OpenDialogFilters(const char* filter);

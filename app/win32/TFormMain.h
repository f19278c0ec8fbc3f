#pragma once
#include "FormMainLogic.h"
#include "MainView.h"
#include "Services.h"
#include "TFormDebug.h"
#include "TFormStation.h"
#include "Window.h"

#include <memory>

// The main window on native controls: builds them, forwards their events to the window logic and
// carries out what the logic asks of the view. The debug window belongs to it.
class TFormMain : public zemwin::Window, public zem::MainView {
public:
    // Both windows and the logic's creation step; the main window is still hidden.
    explicit TFormMain(zem::Services services);
    ~TFormMain() override;

    zem::FormMainLogic& Logic() { return *logic_; }
    TFormDebug& FormDebug() { return *formDebug_; }
    void Show(int showCommand);

    HWND ComboBoxPort = nullptr;
    HWND ComboBoxSpeed = nullptr;
    HWND GroupBoxHeader = nullptr;
    zemwin::AutoLabel LabelSwVer;
    zemwin::AutoLabel LabelProdName;
    HWND ButtonDebug = nullptr;
    HWND EditFilePath = nullptr;
    HWND ButtonSfoglia = nullptr;
    HWND ButtonProgram = nullptr;
    HWND ProgressBar = nullptr;
    HWND StatusBar = nullptr;
    HWND ButtonStation = nullptr; // only when "Zem.ini" has a [Station] section

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
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void BuildControls();
    void AddStationButton();
    void AddHints();
    HWND Control(zem::Item item);
    void ShowStatus();
    void DrawStatus(const DRAWITEMSTRUCT& d);
    void UpdateHint(const zemwin::AutoLabel& label);
    zemwin::AutoLabel* Label(zem::Item item);
    static LRESULT CALLBACK EditFilePathProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                             UINT_PTR id, DWORD_PTR self);

    std::unique_ptr<TFormDebug> formDebug_;
    std::unique_ptr<zem::FormMainLogic> logic_;
    zem::Services stationServices_;
    std::unique_ptr<TFormStation> formStation_;
    std::string statusText_;
    HWND tooltip_ = nullptr;
    HFONT boldFont_ = nullptr;
    zem::RunOutcome outcome_ = zem::RunOutcome::kNone;
    // Disabling the focused control drops the focus; it goes back there when the run ends.
    HWND focusBeforeRun_ = nullptr;
    bool closing_ = false;
};

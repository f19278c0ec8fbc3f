#pragma once
#include "Services.h"
#include "StationLogic.h"
#include "Window.h"

#include <commctrl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The station window on native controls: a list view row per port over the station logic. The
// station's events arrive as posted messages; the logic decides when to redraw.
class TFormStation : public zemwin::Window, public zem::StationView {
public:
    // `quitOnClose`: the window is the program (zem --station); its close ends the message loop.
    TFormStation(zem::Services services, const std::string& settingsFile, bool quitOnClose);
    ~TFormStation() override;

    zem::StationLogic& Logic() { return *logic_; }
    void Show();
    // The close request as the close box makes it; false when the window stays open.
    bool Close();
    bool Visible() const;

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

    HWND EditPorts = nullptr;
    HWND ButtonPorts = nullptr;
    HWND ComboBoxSpeed = nullptr;
    HWND EditStream = nullptr;
    HWND ButtonStream = nullptr;
    HWND EditResults = nullptr;
    HWND ButtonResults = nullptr;
    HWND EditDumpDir = nullptr;
    HWND ButtonDumpDir = nullptr;
    zemwin::AutoLabel LabelSwVer, LabelProdName;
    zemwin::AutoLabel LabelProgrammed, LabelFailed, LabelYield, LabelPerHour;
    HWND ButtonStart = nullptr;
    HWND ButtonStop = nullptr;
    HWND ButtonAbort = nullptr;
    HWND List = nullptr;
    HWND StatusBar = nullptr;

    // The tests answer the window's questions and see its errors instead of a modal box.
    std::function<bool(const std::string&)> confirmHook;
    std::function<void(const std::string&)> errorHook;
    std::function<void(const std::string&, const std::vector<std::string>&)> historyHook;
    int wakes = 0;

    // A cell's text as the row shows it.
    std::string Cell(int row, int column) const;

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
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void BuildControls();
    // The list and the status bar follow the client area (in the screen's pixels).
    void Layout(int width, int height);
    // A cell of two lines (port and alias, status and cause), each cut in the middle or the end.
    void DrawTwoLines(HDC dc, const RECT& cell, const std::string& first, const std::string& second,
                      bool middle);
    HWND Control(zem::StationItem item);
    zemwin::AutoLabel* Label(zem::StationItem item);
    void OnCommand(int id, int code);
    LRESULT OnCustomDraw(NMLVCUSTOMDRAW& cd);

    std::unique_ptr<zem::StationLogic> logic_;
    std::vector<zem::StationRow> rows_;
    std::string status_;
    std::string lineStatus_; // the line's backlog, after the status in the one-part bar
    bool quitOnClose_ = false;
    HIMAGELIST rowHeight_ = nullptr; // only gives the rows their height of two lines
};

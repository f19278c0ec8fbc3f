#pragma once
#include <optional>
#include <string>
#include <vector>

namespace zem {

// The controls of the two windows that the window logic reads or writes.
enum class Item {
    // main window
    ComboBoxPort,
    ComboBoxSpeed,
    EditFilePath,
    ButtonProgram,
    ButtonSfoglia,
    ButtonDebug,
    LabelSwVer,
    LabelProdName,
    StatusBar,
    // debug window
    DebugSwVer,
    DebugProdName,
    DebugFlashType,
    DebugHeaderLength,
    DebugStrVer,
    DebugSpeedOff,
    DebugCrcHex,
    DebugBootTypeHex,
};

// How the last programming run ended, shown with the status text until the next action.
enum class RunOutcome { kNone, kSucceeded, kFailed };

struct WindowRect {
    int left = 0;
    int top = 0;
    int width = 0; // outer size, frame included
    int height = 0;
};

// What the window logic needs of a toolkit. Every call comes from the GUI thread. A front end
// implements it on its own windows; the tests implement it on plain members.
class MainView {
public:
    virtual ~MainView() = default;

    virtual std::string Text(Item item) = 0;
    virtual void SetText(Item item, const std::string& text) = 0;
    virtual void SetEnabled(Item item, bool enabled) = 0;
    virtual void SetVisible(Item item, bool visible) = 0;
    virtual void SetProgress(int percent) = 0;
    virtual void ShowOutcome(RunOutcome outcome) = 0;
    // Replaces the drop-down items of the port box and selects the first one, if any.
    virtual void SetPortItems(const std::vector<std::string>& ports) = 0;

    // Raise the main window, beep, then a modal box with OK. Returns at once after a quit request.
    virtual void ShowAlert(const std::string& text) = 0;
    // The framework's own error box (a settings file that cannot be written).
    virtual void ShowError(const std::string& text) = 0;
    // A plain box with a caption, OK and no icon (the usage text).
    virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
    // Runs the file-open dialog; the chosen full path, or nothing when cancelled.
    virtual std::optional<std::string> RunOpenDialog(const std::string& initialDir) = 0;

    virtual void ProcessPendingMessages() = 0;
    virtual void SetBusyCursor(bool busy) = 0;
    virtual WindowRect MainWindowRect() = 0;
    virtual void MoveMainWindow(int left, int top) = 0;
    virtual void EnableAutoProgramTimer(bool enabled) = 0;
    // Ends every running message loop once the current handler returns; not a close.
    virtual void RequestQuit() = 0;

    virtual void AppendDebugLine(const std::string& line) = 0;
    virtual void ClearDebugLines() = 0;
    virtual bool DebugWindowVisible() = 0;
    virtual void ShowDebugWindowAt(int left, int top) = 0;
};

} // namespace zem

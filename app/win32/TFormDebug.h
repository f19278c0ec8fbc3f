#pragma once
#include "Window.h"

#include <string>

// The companion window: the chosen stream file's full header and the lines of the current run.
// Closing it only hides it.
class TFormDebug : public zemwin::Window {
public:
    // Hidden until the header display shows it; owned by the main window, so it has no taskbar
    // button of its own and goes with the main window when that is minimised.
    explicit TFormDebug(HWND owner);

    zemwin::AutoLabel LabelSwVer;
    zemwin::AutoLabel LabelProdName;
    zemwin::AutoLabel LabelFlashType;
    zemwin::AutoLabel LabelHeaderLength;
    zemwin::AutoLabel LabelStrVer;
    zemwin::AutoLabel LabelSpeedOff;
    zemwin::AutoLabel LabelCrcHex;
    zemwin::AutoLabel LabelBootTypeHex;
    HWND GroupBoxHeader = nullptr;
    HWND Memo = nullptr;
    HWND ButtonClear = nullptr;

    void AppendLine(const std::string& line);
    void Clear();

protected:
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void ButtonClearClick();
};

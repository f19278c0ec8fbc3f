#include "TFormDebug.h"

#include "Texts.h"

namespace {

constexpr int kIdButtonClear = 201;

} // namespace

TFormDebug::TFormDebug(HWND owner) {
    CreateTopLevel("ZemFormDebug", zem::txt::kDebugCaption, WS_OVERLAPPEDWINDOW, 218, 438, false,
                   owner);
    using zemwin::CreateControl;

    Memo = CreateControl(hwnd_, "EDIT", "",
                         ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_TABSTOP,
                         WS_EX_CLIENTEDGE, 8, 184, 193, 153);
    // Failed runs keep adding lines; do not stop at the edit control's default 32 KiB.
    SendMessageA(Memo, EM_SETLIMITTEXT, 0, 0);
    ButtonClear = CreateControl(hwnd_, "BUTTON", "Clear", BS_PUSHBUTTON | WS_TABSTOP, 0, 104, 352,
                                91, 17, kIdButtonClear);
    firstFocus_ = ButtonClear;

    struct Pair {
        const char* caption;
        const char* design;
        int top;
        zemwin::AutoLabel* value;
    };
    const Pair pairs[] = {
        {"Software Version:", "Sw Ver", 24, &LabelSwVer},
        {"Product Name:", "Prod Name", 40, &LabelProdName},
        {"Flash Type:", "Falsh Type", 56, &LabelFlashType},
        {"Header Length:", "Header Length", 72, &LabelHeaderLength},
        {"Stream Version:", "Stream Version", 88, &LabelStrVer},
        {"Speed Offset:", "Speed Offset", 104, &LabelSpeedOff},
        {"Crc: ", "CrcHex", 120, &LabelCrcHex},
        {"BootType: ", "BootTypeHex", 136, &LabelBootTypeHex},
    };
    // Group box at 8, 8, 193 wide: captions 8 inside its left side, values against its right.
    constexpr int kGroupLeft = 8, kGroupTop = 8, kGroupWidth = 193;
    for (const Pair& p : pairs) {
        zemwin::AutoLabel caption;
        caption.Create(hwnd_, p.caption, kGroupLeft + 8, kGroupTop + p.top);
        p.value->Create(hwnd_, p.design, kGroupLeft + kGroupWidth - 8, kGroupTop + p.top, true);
        p.value->PairWithCaption(caption);
    }
    // Created last, so that it lies under the labels it frames.
    GroupBoxHeader = CreateControl(hwnd_, "BUTTON", "Header Info", BS_GROUPBOX | WS_CLIPSIBLINGS, 0,
                                   kGroupLeft, kGroupTop, kGroupWidth, 161);
    zemwin::AddDialogWindow(hwnd_);
}

void TFormDebug::AppendLine(const std::string& line) {
    int end = GetWindowTextLengthA(Memo);
    std::string text = end > 0 ? "\r\n" + line : line;
    SendMessageA(Memo, EM_SETSEL, end, end);
    SendMessageA(Memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void TFormDebug::Clear() {
    SetWindowTextA(Memo, "");
}

void TFormDebug::ButtonClearClick() {
    Clear();
}

LRESULT TFormDebug::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_CLOSE:
        ShowWindow(hwnd_, SW_HIDE);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kIdButtonClear && HIWORD(wParam) == BN_CLICKED) {
            ButtonClearClick();
            return 0;
        }
        break;
    case WM_CTLCOLORSTATIC:
        // A read-only edit asks for the label colours; the run's text stays on a text background.
        if (reinterpret_cast<HWND>(lParam) == Memo) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
            SetBkColor(dc, GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        break;
    }
    return Window::OnMessage(msg, wParam, lParam);
}

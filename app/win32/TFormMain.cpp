#include "TFormMain.h"

#include "StationSettings.h"
#include "Texts.h"

#include <commctrl.h>
#include <commdlg.h>

using zem::Item;

namespace {

enum ControlId {
    kIdComboBoxPort = 101,
    kIdComboBoxSpeed,
    kIdEditFilePath,
    kIdButtonSfoglia,
    kIdButtonProgram,
    kIdButtonDebug,
    kIdProgressBar,
    kIdStatusBar,
    kIdButtonStation,
};

enum TimerId { kTimerAutoProgram = 1, kTimerTrigProgram = 2 };

constexpr int kClientWidth = 377;
constexpr int kClientHeight = 231;
constexpr int kStatusBarHeight = 22;
// A drop-down combo box is created with the height of its open list.
constexpr int kComboHeight = 21 + 8 * 16;

const char* const kSpeeds[] = {"921600", "460800", "230400", "115200",
                               "57600",  "38400",  "19200",  "9600"};

} // namespace

TFormMain::TFormMain(zem::Services services) : stationServices_(services) {
    CreateTopLevel("ZemFormMain", zem::txt::kCaption,
                   WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, kClientWidth,
                   kClientHeight, true, nullptr);
    BuildControls();
    formDebug_ = std::make_unique<TFormDebug>(hwnd_);
    SetTimer(hwnd_, kTimerTrigProgram, 1000, nullptr);
    logic_ = std::make_unique<zem::FormMainLogic>(*this, std::move(services));
    logic_->Create();
    // The station is offered where the settings ask for it: a window without a [Station] section
    // stays exactly as it was.
    if (zem::HasStationSection(logic_->SettingsFile())) AddStationButton();
}

void TFormMain::AddStationButton() {
    constexpr int kRow = 29;
    constexpr int kHeight = kClientHeight + kRow;
    RECT r{0, 0, zemwin::Scale(kClientWidth), zemwin::Scale(kHeight)};
    AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongPtrA(hwnd_, GWL_STYLE)), FALSE, 0);
    SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ButtonStation = zemwin::CreateControl(hwnd_, "BUTTON", "Station...", BS_PUSHBUTTON | WS_TABSTOP,
                                          0, 8, 207, 361, 23, kIdButtonStation);
    SetWindowPos(StatusBar, nullptr, 0, zemwin::Scale(kHeight - kStatusBarHeight), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

TFormStation& TFormMain::OpenStation() {
    if (!formStation_)
        formStation_ =
            std::make_unique<TFormStation>(stationServices_, logic_->SettingsFile(), false);
    formStation_->Show();
    return *formStation_;
}

TFormMain::~TFormMain() {
    formStation_.reset();
    logic_.reset();
    if (boldFont_) DeleteObject(boldFont_);
    formDebug_.reset();
    if (hwnd_) {
        zemwin::RemoveDialogWindow(hwnd_);
        DestroyWindow(hwnd_);
    }
    if (zemwin::Busy()) zemwin::SetBusy(false);
}

void TFormMain::Show(int showCommand) {
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
}

void TFormMain::BuildControls() {
    using zemwin::CreateControl;
    // The tab order is the order of creation of the controls that take the focus.
    ComboBoxPort = CreateControl(hwnd_, "COMBOBOX", "",
                                 CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 0, 48,
                                 16, 105, kComboHeight, kIdComboBoxPort);
    ButtonProgram = CreateControl(hwnd_, "BUTTON", "Program", BS_PUSHBUTTON | WS_TABSTOP, 0, 8, 152,
                                  361, 25, kIdButtonProgram);
    ComboBoxSpeed = CreateControl(hwnd_, "COMBOBOX", "",
                                  CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 0, 48,
                                  48, 105, kComboHeight, kIdComboBoxSpeed);
    for (const char* s : kSpeeds)
        SendMessageA(ComboBoxSpeed, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
    EditFilePath = CreateControl(hwnd_, "EDIT", "", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE,
                                 8, 112, 305, 21, kIdEditFilePath);
    SetWindowSubclass(EditFilePath, &TFormMain::EditFilePathProc, 1,
                      reinterpret_cast<DWORD_PTR>(this));
    ButtonSfoglia = CreateControl(hwnd_, "BUTTON", "Browse", BS_PUSHBUTTON | WS_TABSTOP, 0, 320,
                                  112, 49, 21, kIdButtonSfoglia);
    ButtonDebug = CreateControl(hwnd_, "BUTTON", "Show Debug Info", BS_PUSHBUTTON | WS_TABSTOP, 0,
                                8, 80, 129, 17, kIdButtonDebug);
    ShowWindow(ButtonDebug, SW_HIDE);
    firstFocus_ = ComboBoxPort;

    zemwin::AutoLabel label;
    label.Create(hwnd_, "Port", 8, 19);
    label.Create(hwnd_, "Speed", 8, 51);
    // Group box at 160, 8, 201 wide: captions 8 inside it, values ending 193 inside it.
    constexpr int kGroupLeft = 160, kGroupTop = 8;
    zemwin::AutoLabel sv, pn;
    sv.Create(hwnd_, "Software Version:", kGroupLeft + 8, kGroupTop + 32);
    pn.Create(hwnd_, "Product Name:", kGroupLeft + 8, kGroupTop + 56);
    LabelSwVer.Create(hwnd_, "", kGroupLeft + 193, kGroupTop + 32, true);
    LabelProdName.Create(hwnd_, "", kGroupLeft + 193, kGroupTop + 56, true);
    LabelSwVer.PairWithCaption(sv);
    LabelProdName.PairWithCaption(pn);

    ProgressBar = CreateControl(hwnd_, PROGRESS_CLASSA, "", 0, 0, 8, 184, 361, 17, kIdProgressBar);
    SendMessageA(ProgressBar, PBM_SETRANGE32, 0, 100);
    // One simple text, no panels, no size grip on a window of fixed size.
    StatusBar = CreateControl(hwnd_, STATUSCLASSNAMEA, "", CCS_NOPARENTALIGN | CCS_NORESIZE, 0, 0,
                              kClientHeight - kStatusBarHeight, kClientWidth, kStatusBarHeight,
                              kIdStatusBar);
    SendMessageA(StatusBar, SB_SIMPLE, TRUE, 0);
    LOGFONTA lf{};
    if (GetObjectA(zemwin::UiFont(), sizeof lf, &lf)) {
        lf.lfWeight = FW_BOLD;
        boldFont_ = CreateFontIndirectA(&lf);
    }
    // Created last, so that it lies under the labels it frames.
    GroupBoxHeader = CreateControl(hwnd_, "BUTTON", "Stream Info", BS_GROUPBOX | WS_CLIPSIBLINGS, 0,
                                   kGroupLeft, kGroupTop, 201, 89);

    AddHints();
    zemwin::AddDialogWindow(hwnd_);
}

void TFormMain::AddHints() {
    tooltip_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                               WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
    if (!tooltip_) return; // the program works without its hints
    const std::string hint = std::string(zem::txt::kCaption) + " " + zem::txt::kVersion;
    auto add = [&](HWND tool) {
        const char* text = tool == ProgressBar ? zem::txt::kProgressHint : hint.c_str();
        TOOLINFOA ti{};
        ti.cbSize = TTTOOLINFOA_V2_SIZE;
        ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        ti.hwnd = hwnd_;
        ti.uId = reinterpret_cast<UINT_PTR>(tool);
        ti.lpszText = const_cast<char*>(text);
        SendMessageA(tooltip_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&ti));
    };
    // The window's own hint stands for every control without one; a combo box's edit line is a
    // control of its own.
    add(hwnd_);
    for (HWND c = GetWindow(hwnd_, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        add(c);
        for (HWND g = GetWindow(c, GW_CHILD); g; g = GetWindow(g, GW_HWNDNEXT))
            add(g);
    }
}

LRESULT CALLBACK TFormMain::EditFilePathProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                             UINT_PTR id, DWORD_PTR self) {
    auto* form = reinterpret_cast<TFormMain*>(self);
    switch (msg) {
    case WM_GETDLGCODE: {
        // Enter belongs to the path line, not to the dialog keys.
        LRESULT code = DefSubclassProc(hwnd, msg, wParam, lParam);
        auto* m = reinterpret_cast<const MSG*>(lParam);
        if (m && m->message == WM_KEYDOWN && m->wParam == VK_RETURN) code |= DLGC_WANTALLKEYS;
        return code;
    }
    case WM_KEYDOWN:
        if (form->logic_)
            zemwin::Guarded([&] { form->logic_->EditFilePathKeyDown(static_cast<int>(wParam)); });
        break;
    case WM_CHAR:
        if (wParam == '\r') return 0; // a single-line edit would beep at it
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(hwnd, &TFormMain::EditFilePathProc, id);
        break;
    }
    return DefSubclassProc(hwnd, msg, wParam, lParam);
}

LRESULT TFormMain::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_COMMAND:
        if (!logic_ || HIWORD(wParam) != BN_CLICKED) break;
        switch (LOWORD(wParam)) {
        case kIdButtonProgram:
            logic_->ButtonProgramClick();
            return 0;
        case kIdButtonSfoglia:
            logic_->ButtonSfogliaClick();
            return 0;
        case kIdButtonDebug:
            logic_->ButtonDebugClick(true);
            return 0;
        case kIdButtonStation:
            OpenStation();
            return 0;
        }
        break;
    case WM_DRAWITEM: {
        auto* d = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (d && d->hwndItem == StatusBar) {
            DrawStatus(*d);
            return TRUE;
        }
        break;
    }
    case WM_TIMER:
        if (!logic_) break;
        if (wParam == kTimerAutoProgram) {
            logic_->TimerAutoProgramTimer();
            return 0;
        }
        if (wParam == kTimerTrigProgram) {
            logic_->TimerTrigProgramTimer();
            return 0;
        }
        break;
    case WM_CLOSE:
        // The main window's close ends the program, once a run in progress has returned; the
        // window itself goes when the message loop has ended.
        // The station closes first, with its own question about the modules it is programming.
        if (formStation_ && formStation_->Visible() && !formStation_->Close()) return 0;
        if (logic_ && !closing_ && logic_->FormClose()) {
            closing_ = true;
            PostQuitMessage(0);
        }
        return 0;
    }
    return Window::OnMessage(msg, wParam, lParam);
}

HWND TFormMain::Control(Item item) {
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
    case Item::StatusBar:
        return StatusBar;
    default: {
        zemwin::AutoLabel* l = Label(item);
        return l ? l->Handle() : nullptr;
    }
    }
}

zemwin::AutoLabel* TFormMain::Label(Item item) {
    switch (item) {
    case Item::LabelSwVer:
        return &LabelSwVer;
    case Item::LabelProdName:
        return &LabelProdName;
    case Item::DebugSwVer:
        return &formDebug_->LabelSwVer;
    case Item::DebugProdName:
        return &formDebug_->LabelProdName;
    case Item::DebugFlashType:
        return &formDebug_->LabelFlashType;
    case Item::DebugHeaderLength:
        return &formDebug_->LabelHeaderLength;
    case Item::DebugStrVer:
        return &formDebug_->LabelStrVer;
    case Item::DebugSpeedOff:
        return &formDebug_->LabelSpeedOff;
    case Item::DebugCrcHex:
        return &formDebug_->LabelCrcHex;
    case Item::DebugBootTypeHex:
        return &formDebug_->LabelBootTypeHex;
    default:
        return nullptr;
    }
}

std::string TFormMain::Text(Item item) {
    switch (item) {
    case Item::ComboBoxPort:
    case Item::ComboBoxSpeed:
    case Item::EditFilePath:
        return zemwin::WindowText(Control(item));
    case Item::StatusBar:
        return statusText_;
    default: {
        zemwin::AutoLabel* l = Label(item);
        return l ? l->Text() : std::string();
    }
    }
}

void TFormMain::SetText(Item item, const std::string& text) {
    switch (item) {
    case Item::ComboBoxPort:
    case Item::ComboBoxSpeed:
    case Item::EditFilePath:
        SetWindowTextA(Control(item), text.c_str());
        return;
    case Item::StatusBar:
        statusText_ = text;
        ShowStatus();
        return;
    default:
        if (zemwin::AutoLabel* l = Label(item)) {
            l->SetText(text);
            if (l == &LabelSwVer || l == &LabelProdName) UpdateHint(*l);
        }
        return;
    }
}

void TFormMain::UpdateHint(const zemwin::AutoLabel& label) {
    // A cut value tells its whole text; any other shows the window's hint.
    if (!tooltip_) return;
    const std::string hint =
        label.Cut() ? label.Text() : std::string(zem::txt::kCaption) + " " + zem::txt::kVersion;
    TOOLINFOA ti{};
    ti.cbSize = TTTOOLINFOA_V2_SIZE;
    ti.hwnd = hwnd_;
    ti.uId = reinterpret_cast<UINT_PTR>(label.Handle());
    ti.lpszText = const_cast<char*>(hint.c_str());
    SendMessageA(tooltip_, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&ti));
}

void TFormMain::ShowStatus() {
    // A run's outcome is drawn by the window in its colour (WM_DRAWITEM).
    WPARAM how = SB_SIMPLEID | (outcome_ == zem::RunOutcome::kNone ? 0 : SBT_OWNERDRAW);
    SendMessageA(StatusBar, SB_SETTEXTA, how, reinterpret_cast<LPARAM>(statusText_.c_str()));
    InvalidateRect(StatusBar, nullptr, TRUE);
}

void TFormMain::ShowOutcome(zem::RunOutcome outcome) {
    if (outcome == outcome_) return;
    outcome_ = outcome;
    ShowStatus();
}

void TFormMain::DrawStatus(const DRAWITEMSTRUCT& d) {
    const bool ok = outcome_ == zem::RunOutcome::kSucceeded;
    HGDIOBJ old = SelectObject(d.hDC, boldFont_ ? boldFont_ : zemwin::UiFont());
    SetBkMode(d.hDC, TRANSPARENT);
    SetTextColor(d.hDC, ok ? RGB(0, 100, 0) : RGB(192, 0, 0));
    RECT r = d.rcItem;
    r.left += 2;
    DrawTextA(d.hDC, statusText_.c_str(), static_cast<int>(statusText_.size()), &r,
              DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
    SelectObject(d.hDC, old);
}

void TFormMain::SetEnabled(Item item, bool enabled) {
    HWND h = Control(item);
    if (!h) return;
    if (!enabled) {
        HWND f = GetFocus();
        if (f && (f == h || IsChild(h, f))) focusBeforeRun_ = h;
    }
    EnableWindow(h, enabled);
    if (enabled && h == focusBeforeRun_) {
        focusBeforeRun_ = nullptr;
        HWND f = GetFocus();
        if (GetActiveWindow() == hwnd_ && (!f || f == hwnd_)) SetFocus(h);
    }
}

void TFormMain::SetVisible(Item item, bool visible) {
    if (HWND h = Control(item)) ShowWindow(h, visible ? SW_SHOW : SW_HIDE);
}

void TFormMain::SetProgress(int percent) {
    // The control keeps out-of-range positions at its ends.
    SendMessageA(ProgressBar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

void TFormMain::SetPortItems(const std::vector<std::string>& ports) {
    SendMessageA(ComboBoxPort, CB_RESETCONTENT, 0, 0);
    for (const auto& p : ports)
        SendMessageA(ComboBoxPort, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(p.c_str()));
    if (!ports.empty()) SendMessageA(ComboBoxPort, CB_SETCURSEL, 0, 0);
}

void TFormMain::ShowAlert(const std::string& text) {
    if (IsIconic(hwnd_)) ShowWindow(hwnd_, SW_RESTORE);
    SetForegroundWindow(hwnd_);
    MessageBeep(0xFFFFFFFF);
    // After a quit request the box's own loop meets the quit message and the box closes itself.
    MessageBoxA(hwnd_, text.c_str(), zem::txt::kCaption, MB_OK);
}

void TFormMain::ShowError(const std::string& text) {
    MessageBoxA(hwnd_, text.c_str(), zem::txt::kCaption, MB_OK | MB_ICONERROR);
}

void TFormMain::ShowMessage(const std::string& caption, const std::string& text) {
    MessageBoxA(hwnd_, text.c_str(), caption.c_str(), MB_OK);
}

std::optional<std::string> TFormMain::RunOpenDialog(const std::string& initialDir) {
    std::string filter = zem::txt::kOpenFilter;
    for (char& c : filter)
        if (c == '|') c = '\0';
    filter.push_back('\0'); // the list ends with an empty entry
    char file[1024] = "";
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrInitialDir = initialDir.empty() ? nullptr : initialDir.c_str();
    // Without OFN_NOCHANGEDIR: the dialog may move the current directory; the logic puts it back.
    ofn.Flags =
        OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (!GetOpenFileNameA(&ofn)) return std::nullopt;
    return std::string(file);
}

void TFormMain::ProcessPendingMessages() {
    zemwin::ProcessPendingMessages();
}

void TFormMain::SetBusyCursor(bool busy) {
    zemwin::SetBusy(busy);
}

zem::WindowRect TFormMain::MainWindowRect() {
    RECT r{};
    if (IsIconic(hwnd_)) {
        // A minimised window sits far off screen; keep the place it will come back to.
        WINDOWPLACEMENT wp{};
        wp.length = sizeof wp;
        GetWindowPlacement(hwnd_, &wp);
        r = wp.rcNormalPosition;
    } else {
        GetWindowRect(hwnd_, &r);
    }
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

void TFormMain::MoveMainWindow(int left, int top) {
    SetWindowPos(hwnd_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TFormMain::EnableAutoProgramTimer(bool enabled) {
    if (enabled)
        SetTimer(hwnd_, kTimerAutoProgram, 500, nullptr);
    else
        KillTimer(hwnd_, kTimerAutoProgram);
}

void TFormMain::RequestQuit() {
    PostQuitMessage(0);
}

void TFormMain::AppendDebugLine(const std::string& line) {
    formDebug_->AppendLine(line);
}

void TFormMain::ClearDebugLines() {
    formDebug_->Clear();
}

bool TFormMain::DebugWindowVisible() {
    return IsWindowVisible(formDebug_->Handle()) != 0;
}

void TFormMain::ShowDebugWindowAt(int left, int top) {
    SetWindowPos(formDebug_->Handle(), HWND_TOP, left, top, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
}

#include "TFormStation.h"

#include "Texts.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shlobj.h>

#include <algorithm>

using zem::StationItem;

namespace {

enum ControlId {
    kIdEditPorts = 201,
    kIdButtonPorts,
    kIdComboBoxSpeed,
    kIdEditStream,
    kIdButtonStream,
    kIdEditResults,
    kIdButtonResults,
    kIdEditDumpDir,
    kIdButtonDumpDir,
    kIdButtonStart,
    kIdButtonStop,
    kIdButtonAbort,
    kIdList,
    kIdStatusBar,
    kIdPortsList,
};

constexpr UINT kWakeMessage = WM_APP + 18;
constexpr UINT_PTR kTimerFlush = 1;

constexpr int kClientWidth = 760;
constexpr int kClientHeight = 420;
constexpr int kStatusBarHeight = 22;
constexpr int kComboHeight = 21 + 8 * 16;

const char* const kSpeeds[] = {"921600", "460800", "230400", "115200",
                               "57600",  "38400",  "19200",  "9600"};

struct ColumnInfo {
    const char* title;
    int width;
};
// Together a little narrower than the list, so that no scroll bar appears.
// Widths at 96 DPI, scaled to the screen's. The state column holds its longest words whole.
constexpr ColumnInfo kColumnInfo[] = {{"Port", 150},   {"State", 140},  {"Progress", 80},
                                      {"Status", 200}, {"Runs", 40},    {"Programmed", 90},
                                      {"Failed", 45},  {"Last run", 60}};
constexpr int kListTop = 152;
constexpr int kMinClientWidth = kClientWidth;
constexpr int kMinClientHeight = 300;

COLORREF Bgr(uint32_t rgb) {
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

// The port chooser: a multiple-selection list in a small modal window of its own.
class PortsDialog : public zemwin::Window {
public:
    PortsDialog(HWND owner, const std::vector<std::string>& names,
                const std::vector<std::string>& chosen)
        : owner_(owner), names_(names) {
        CreateTopLevel("ZemStationPorts", "Ports", WS_POPUP | WS_CAPTION | WS_SYSMENU, 220, 260,
                       true, owner);
        list_ = zemwin::CreateControl(hwnd_, WC_LISTBOXA, "",
                                      LBS_EXTENDEDSEL | LBS_NOTIFY | WS_VSCROLL | WS_TABSTOP,
                                      WS_EX_CLIENTEDGE, 8, 8, 204, 208, kIdPortsList);
        for (size_t i = 0; i < names_.size(); ++i) {
            SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(names_[i].c_str()));
            if (std::find(chosen.begin(), chosen.end(), names_[i]) != chosen.end())
                SendMessageA(list_, LB_SETSEL, TRUE, static_cast<LPARAM>(i));
        }
        zemwin::CreateControl(hwnd_, "BUTTON", "OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 60, 226, 70,
                              25, IDOK);
        zemwin::CreateControl(hwnd_, "BUTTON", "Cancel", BS_PUSHBUTTON | WS_TABSTOP, 0, 140, 226,
                              70, 25, IDCANCEL);
        firstFocus_ = list_;
        zemwin::AddDialogWindow(hwnd_);
    }
    ~PortsDialog() override {
        if (hwnd_) {
            zemwin::RemoveDialogWindow(hwnd_);
            DestroyWindow(hwnd_);
        }
    }
    // Modal: the owner is disabled until OK or Cancel.
    std::optional<std::vector<std::string>> Run() {
        EnableWindow(owner_, FALSE);
        ShowWindow(hwnd_, SW_SHOW);
        MSG msg;
        while (!done_ && GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (!IsDialogMessageA(hwnd_, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        EnableWindow(owner_, TRUE);
        SetForegroundWindow(owner_);
        if (!ok_) return std::nullopt;
        std::vector<std::string> picked;
        for (size_t i = 0; i < names_.size(); ++i)
            if (SendMessageA(list_, LB_GETSEL, static_cast<WPARAM>(i), 0) > 0)
                picked.push_back(names_[i]);
        return picked;
    }

protected:
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
        if (msg == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
            ok_ = LOWORD(wParam) == IDOK;
            done_ = true;
            return 0;
        }
        if (msg == WM_CLOSE) {
            done_ = true;
            return 0;
        }
        return Window::OnMessage(msg, wParam, lParam);
    }

private:
    HWND owner_;
    HWND list_ = nullptr;
    std::vector<std::string> names_;
    bool done_ = false;
    bool ok_ = false;
};

} // namespace

TFormStation::TFormStation(zem::Services services, const std::string& settingsFile,
                           bool quitOnClose)
    : quitOnClose_(quitOnClose) {
    CreateTopLevel("ZemFormStation", (std::string(zem::txt::kCaption) + " Station").c_str(),
                   WS_OVERLAPPEDWINDOW, kClientWidth, kClientHeight, true, nullptr);
    BuildControls();
    logic_ = std::make_unique<zem::StationLogic>(*this, std::move(services), settingsFile);
    logic_->Create();
}

TFormStation::~TFormStation() {
    // The station's threads end before the window their messages go to.
    logic_.reset();
    if (hwnd_) {
        zemwin::RemoveDialogWindow(hwnd_);
        DestroyWindow(hwnd_);
        hwnd_ = nullptr;
    }
    if (rowHeight_) ImageList_Destroy(rowHeight_);
}

void TFormStation::Layout(int width, int height) {
    if (!List || !StatusBar) return;
    int bar = zemwin::Scale(kStatusBarHeight);
    int top = zemwin::Scale(kListTop);
    int margin = zemwin::Scale(8);
    MoveWindow(List, margin, top, std::max(width - 2 * margin, 0),
               std::max(height - bar - top - margin, 0), TRUE);
    MoveWindow(StatusBar, 0, height - bar, width, bar, TRUE);
    // The status column takes what the others leave.
    RECT list{};
    GetClientRect(List, &list);
    int others = 0;
    for (int c = 0; c < kColumns; ++c)
        if (c != kStatus) others += ListView_GetColumnWidth(List, c);
    int status = std::max(static_cast<int>(list.right) - others, zemwin::Scale(120));
    ListView_SetColumnWidth(List, kStatus, status);
}

void TFormStation::DrawTwoLines(HDC dc, const RECT& cell, const std::string& first,
                                const std::string& second, bool middle) {
    FillRect(dc, &cell, GetSysColorBrush(COLOR_WINDOW));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    HGDIOBJ old = SelectObject(dc, zemwin::UiFont());
    RECT r = cell;
    InflateRect(&r, -zemwin::Scale(4), -zemwin::Scale(2));
    int half = (r.bottom - r.top) / 2;
    RECT top = r, bottom = r;
    top.bottom = r.top + half;
    bottom.top = top.bottom;
    // A device path ends in what tells two adapters apart: cut in the middle, keep both ends.
    UINT elide = middle ? DT_PATH_ELLIPSIS : DT_END_ELLIPSIS;
    UINT flags = DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_VCENTER | elide;
    DrawTextA(dc, first.c_str(), -1, &top, flags);
    if (!second.empty()) DrawTextA(dc, second.c_str(), -1, &bottom, flags);
    SelectObject(dc, old);
}

void TFormStation::Show() {
    ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
    UpdateWindow(hwnd_);
}

bool TFormStation::Visible() const {
    return hwnd_ && IsWindowVisible(hwnd_);
}

void TFormStation::BuildControls() {
    using zemwin::CreateControl;
    zemwin::AutoLabel caption;
    auto row = [&](int y, const char* text, HWND& edit, int editId, HWND& button,
                   const char* buttonText, int buttonId) {
        caption.Create(hwnd_, text, 8, y + 3);
        edit = CreateControl(hwnd_, "EDIT", "", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, 80,
                             y, 300, 21, editId);
        button = CreateControl(hwnd_, "BUTTON", buttonText, BS_PUSHBUTTON | WS_TABSTOP, 0, 386, y,
                               70, 21, buttonId);
    };
    row(8, "Ports", EditPorts, kIdEditPorts, ButtonPorts, "Ports...", kIdButtonPorts);
    row(34, "Stream file", EditStream, kIdEditStream, ButtonStream, "Browse", kIdButtonStream);
    row(60, "Results log", EditResults, kIdEditResults, ButtonResults, "Choose...",
        kIdButtonResults);
    row(86, "Dump folder", EditDumpDir, kIdEditDumpDir, ButtonDumpDir, "Choose...",
        kIdButtonDumpDir);

    caption.Create(hwnd_, "Speed", 472, 11);
    ComboBoxSpeed = CreateControl(hwnd_, "COMBOBOX", "",
                                  CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 0, 520,
                                  8, 90, kComboHeight, kIdComboBoxSpeed);
    for (const char* s : kSpeeds)
        SendMessageA(ComboBoxSpeed, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));

    // Captions on the left, values right-aligned and cut at their caption.
    auto pair = [&](zemwin::AutoLabel& value, const char* text, int left, int right, int y) {
        zemwin::AutoLabel c;
        c.Create(hwnd_, text, left, y);
        value.Create(hwnd_, "", right, y, true);
        value.PairWithCaption(c);
    };
    pair(LabelSwVer, "Software Version:", 472, 752, 38);
    pair(LabelProdName, "Product Name:", 472, 752, 60);
    pair(LabelProgrammed, "Programmed:", 472, 585, 86);
    pair(LabelFailed, "Failed:", 600, 752, 86);
    // The yield carries its counts: a line of its own.
    pair(LabelYield, "Yield:", 472, 752, 108);
    pair(LabelPerHour, "Modules per hour:", 472, 752, 130);

    ButtonStart = CreateControl(hwnd_, "BUTTON", "&Start", BS_PUSHBUTTON | WS_TABSTOP, 0, 8, 118,
                                90, 25, kIdButtonStart);
    ButtonStop = CreateControl(hwnd_, "BUTTON", "S&top", BS_PUSHBUTTON | WS_TABSTOP, 0, 104, 118,
                               90, 25, kIdButtonStop);
    ButtonAbort = CreateControl(hwnd_, "BUTTON", "&Abort", BS_PUSHBUTTON | WS_TABSTOP, 0, 200, 118,
                                90, 25, kIdButtonAbort);

    List = CreateControl(hwnd_, WC_LISTVIEWA, "",
                         LVS_REPORT | LVS_NOSORTHEADER | LVS_SINGLESEL | WS_TABSTOP,
                         WS_EX_CLIENTEDGE, 8, kListTop, kClientWidth - 16,
                         kClientHeight - kStatusBarHeight - 160, kIdList);
    // Cut texts show in full as the cell's hint.
    ListView_SetExtendedListViewStyle(List, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES |
                                                LVS_EX_LABELTIP | LVS_EX_INFOTIP);
    for (int c = 0; c < kColumns; ++c) {
        LVCOLUMNA col{};
        col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        col.pszText = const_cast<char*>(kColumnInfo[c].title);
        col.cx = zemwin::Scale(kColumnInfo[c].width);
        col.iSubItem = c;
        SendMessageA(List, LVM_INSERTCOLUMNA, c, reinterpret_cast<LPARAM>(&col));
    }

    StatusBar = CreateControl(hwnd_, STATUSCLASSNAMEA, "", CCS_NOPARENTALIGN | CCS_NORESIZE, 0, 0,
                              kClientHeight - kStatusBarHeight, kClientWidth, kStatusBarHeight,
                              kIdStatusBar);
    SendMessageA(StatusBar, SB_SIMPLE, TRUE, 0);
    // A list view's rows are as tall as its small images: an empty image list of two lines.
    TEXTMETRICA tm{};
    HDC dc = GetDC(List);
    HGDIOBJ old = SelectObject(dc, zemwin::UiFont());
    GetTextMetricsA(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(List, dc);
    rowHeight_ = ImageList_Create(1, 2 * (tm.tmHeight + tm.tmExternalLeading) + 4, ILC_COLOR, 0, 1);
    ListView_SetImageList(List, rowHeight_, LVSIL_SMALL);
    RECT client{};
    GetClientRect(hwnd_, &client);
    Layout(client.right, client.bottom);
    firstFocus_ = EditPorts;
    zemwin::AddDialogWindow(hwnd_);
}

HWND TFormStation::Control(StationItem item) {
    switch (item) {
    case StationItem::EditPorts:
        return EditPorts;
    case StationItem::ComboBoxSpeed:
        return ComboBoxSpeed;
    case StationItem::EditStream:
        return EditStream;
    case StationItem::EditResults:
        return EditResults;
    case StationItem::EditDumpDir:
        return EditDumpDir;
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
    default:
        return nullptr;
    }
}

zemwin::AutoLabel* TFormStation::Label(StationItem item) {
    switch (item) {
    case StationItem::LabelSwVer:
        return &LabelSwVer;
    case StationItem::LabelProdName:
        return &LabelProdName;
    case StationItem::LabelProgrammed:
        return &LabelProgrammed;
    case StationItem::LabelFailed:
        return &LabelFailed;
    case StationItem::LabelYield:
        return &LabelYield;
    case StationItem::LabelPerHour:
        return &LabelPerHour;
    default:
        return nullptr;
    }
}

std::string TFormStation::Text(StationItem item) {
    if (item == StationItem::StatusBar) return status_;
    if (item == StationItem::StatusLine) return lineStatus_;
    if (auto* l = Label(item)) return l->Text();
    HWND c = Control(item);
    return c ? zemwin::WindowText(c) : std::string();
}

void TFormStation::SetText(StationItem item, const std::string& text) {
    if (item == StationItem::StatusBar || item == StationItem::StatusLine) {
        (item == StationItem::StatusBar ? status_ : lineStatus_) = text;
        std::string shown = lineStatus_.empty() ? status_ : status_ + "    |    " + lineStatus_;
        SendMessageA(StatusBar, SB_SETTEXTA, SB_SIMPLEID, reinterpret_cast<LPARAM>(shown.c_str()));
        return;
    }
    if (auto* l = Label(item)) return l->SetText(text);
    if (HWND c = Control(item)) SetWindowTextA(c, text.c_str());
}

void TFormStation::SetEnabled(StationItem item, bool enabled) {
    if (HWND c = Control(item)) EnableWindow(c, enabled);
}

void TFormStation::SetRowCount(size_t rows) {
    rows_.resize(rows);
    SendMessageA(List, WM_SETREDRAW, FALSE, 0);
    ListView_DeleteAllItems(List);
    for (size_t i = 0; i < rows; ++i) {
        LVITEMA item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = const_cast<char*>("");
        SendMessageA(List, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    SendMessageA(List, WM_SETREDRAW, TRUE, 0);
}

std::string TFormStation::Cell(int row, int column) const {
    char text[512] = "";
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(List, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    return text;
}

void TFormStation::SetRow(size_t index, const zem::StationRow& row) {
    if (index >= rows_.size()) return;
    rows_[index] = row;
    int r = static_cast<int>(index);
    auto set = [&](int column, const std::string& text) {
        if (Cell(r, column) == text) return;
        LVITEMA item{};
        item.iSubItem = column;
        item.pszText = const_cast<char*>(text.c_str());
        SendMessageA(List, LVM_SETITEMTEXTA, r, reinterpret_cast<LPARAM>(&item));
    };
    // The cells' texts (for hints and the tests); port and status are drawn on two lines.
    set(kPort, row.alias.empty() ? row.port : row.port + " (" + row.alias + ")");
    set(kState, row.stateText);
    set(kProgress, row.started ? std::to_string(row.progress) + " %" : "");
    set(kStatus, row.cause.empty() ? row.status : row.status + " " + row.cause);
    set(kRuns, row.runs);
    set(kProgrammed, row.programmed);
    set(kFailed, row.failed);
    set(kLastRun, row.lastRun);
    // The colour and the bar are drawn from rows_.
    ListView_RedrawItems(List, r, r);
}

LRESULT TFormStation::OnCustomDraw(NMLVCUSTOMDRAW& cd) {
    switch (cd.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
        return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
        size_t r = cd.nmcd.dwItemSpec;
        if (r >= rows_.size()) return CDRF_DODEFAULT;
        const zem::StationRow& row = rows_[r];
        cd.clrText = GetSysColor(COLOR_WINDOWTEXT);
        cd.clrTextBk =
            cd.iSubItem == kState && row.started ? Bgr(row.colour) : GetSysColor(COLOR_WINDOW);
        if (cd.iSubItem == kPort || cd.iSubItem == kStatus) {
            RECT cell{};
            cell.top = cd.iSubItem;
            cell.left = LVIR_BOUNDS;
            SendMessageA(List, LVM_GETSUBITEMRECT, r, reinterpret_cast<LPARAM>(&cell));
            // Column 0's bounds are the whole row's: cut it at its own width.
            if (cd.iSubItem == kPort) cell.right = cell.left + ListView_GetColumnWidth(List, kPort);
            if (cd.iSubItem == kPort)
                DrawTwoLines(cd.nmcd.hdc, cell, row.port, row.alias, true);
            else
                DrawTwoLines(cd.nmcd.hdc, cell, row.status, row.cause, false);
            return CDRF_SKIPDEFAULT;
        }
        if (cd.iSubItem != kProgress || !row.started) return CDRF_NEWFONT;
        // The progress column is a bar of the row's state colour.
        RECT cell{};
        cell.top = kProgress;
        cell.left = LVIR_BOUNDS;
        SendMessageA(List, LVM_GETSUBITEMRECT, r, reinterpret_cast<LPARAM>(&cell));
        HDC dc = cd.nmcd.hdc;
        FillRect(dc, &cell, GetSysColorBrush(COLOR_WINDOW));
        RECT frame = cell;
        InflateRect(&frame, -2, -3);
        FrameRect(dc, &frame, GetSysColorBrush(COLOR_BTNSHADOW));
        RECT fill = frame;
        InflateRect(&fill, -1, -1);
        fill.right = fill.left + (fill.right - fill.left) * std::clamp(row.progress, 0, 100) / 100;
        HBRUSH brush = CreateSolidBrush(Bgr(row.colour));
        FillRect(dc, &fill, brush);
        DeleteObject(brush);
        std::string text = std::to_string(row.progress) + " %";
        SetBkMode(dc, TRANSPARENT);
        SelectObject(dc, zemwin::UiFont());
        DrawTextA(dc, text.c_str(), -1, &frame, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        return CDRF_SKIPDEFAULT;
    }
    }
    return CDRF_DODEFAULT;
}

void TFormStation::PostWake() {
    // From a port's thread: the system's queue carries the wake-up to the window's thread.
    PostMessageA(hwnd_, kWakeMessage, 0, 0);
}

void TFormStation::StartFlushTimer(uint32_t ms) {
    SetTimer(hwnd_, kTimerFlush, ms == 0 ? 1 : ms, nullptr);
}

std::optional<std::vector<std::string>>
TFormStation::ChoosePorts(const std::vector<std::string>& available,
                          const std::vector<std::string>& chosen) {
    std::vector<std::string> all = available;
    // Ports typed by hand (network ports) stay in the list and stay chosen.
    for (const auto& c : chosen)
        if (std::find(all.begin(), all.end(), c) == all.end()) all.push_back(c);
    PortsDialog dialog(hwnd_, all, chosen);
    return dialog.Run();
}

std::optional<std::string> TFormStation::RunOpenDialog(const std::string& initialDir) {
    std::string filter = zem::txt::kOpenFilter;
    for (char& c : filter)
        if (c == '|') c = '\0';
    filter.push_back('\0');
    char file[1024] = "";
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrInitialDir = initialDir.empty() ? nullptr : initialDir.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_PATHMUSTEXIST |
                OFN_FILEMUSTEXIST | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameA(&ofn)) return std::nullopt;
    return std::string(file);
}

std::optional<std::string> TFormStation::RunSaveDialog(const std::string& initialPath) {
    char file[1024] = "";
    initialPath.copy(file, sizeof file - 1);
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrTitle = "Results log";
    // The log is appended to, never replaced: an existing file is no overwrite.
    ofn.Flags =
        OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!GetSaveFileNameA(&ofn)) return std::nullopt;
    return std::string(file);
}

std::optional<std::string> TFormStation::RunFolderDialog(const std::string&) {
    char path[MAX_PATH] = "";
    BROWSEINFOA bi{};
    bi.hwndOwner = hwnd_;
    bi.lpszTitle = "Dump folder";
    bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE id = SHBrowseForFolderA(&bi);
    if (!id) return std::nullopt;
    bool ok = SHGetPathFromIDListA(id, path);
    CoTaskMemFree(id);
    if (!ok) return std::nullopt;
    return std::string(path);
}

bool TFormStation::Confirm(const std::string& text) {
    if (confirmHook) return confirmHook(text);
    std::string caption = std::string(zem::txt::kCaption) + " Station";
    return MessageBoxA(hwnd_, text.c_str(), caption.c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void TFormStation::ShowError(const std::string& text) {
    if (errorHook) return errorHook(text);
    std::string caption = std::string(zem::txt::kCaption) + " Station";
    MessageBoxA(hwnd_, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

void TFormStation::ShowHistory(const std::string& title, const std::vector<std::string>& lines) {
    if (historyHook) return historyHook(title, lines);
    std::string text;
    for (const auto& l : lines)
        text += l + "\r\n";
    std::string caption = std::string(zem::txt::kCaption) + " Station - " + title;
    MessageBoxA(hwnd_, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
}

bool TFormStation::Close() {
    if (!logic_->CloseRequest()) return false;
    ShowWindow(hwnd_, SW_HIDE);
    if (quitOnClose_) PostQuitMessage(0);
    return true;
}

void TFormStation::OnCommand(int id, int code) {
    if (code == EN_KILLFOCUS) {
        if (id == kIdEditStream) logic_->StreamEdited();
        if (id == kIdEditPorts) logic_->PortsEdited();
        return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
    case kIdButtonPorts:
        logic_->ButtonPortsClick();
        break;
    case kIdButtonStream:
        logic_->ButtonStreamClick();
        break;
    case kIdButtonResults:
        logic_->ButtonResultsClick();
        break;
    case kIdButtonDumpDir:
        logic_->ButtonDumpDirClick();
        break;
    case kIdButtonStart:
        logic_->ButtonStartClick();
        break;
    case kIdButtonStop:
        logic_->ButtonStopClick();
        break;
    case kIdButtonAbort:
        logic_->ButtonAbortClick();
        break;
    }
}

LRESULT TFormStation::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case kWakeMessage:
        ++wakes;
        if (logic_) logic_->Wake();
        return 0;
    case WM_TIMER:
        if (wParam == kTimerFlush) {
            KillTimer(hwnd_, kTimerFlush);
            if (logic_) logic_->Flush();
            return 0;
        }
        break;
    case WM_COMMAND:
        if (logic_) OnCommand(LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_NOTIFY: {
        auto* hdr = reinterpret_cast<NMHDR*>(lParam);
        if (hdr && hdr->hwndFrom == List && hdr->code == NM_CUSTOMDRAW)
            return OnCustomDraw(*reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
        if (hdr && hdr->hwndFrom == List && hdr->code == NM_DBLCLK && logic_) {
            int item = reinterpret_cast<NMITEMACTIVATE*>(lParam)->iItem;
            if (item >= 0) logic_->RowActivated(static_cast<size_t>(item));
            return 0;
        }
        break;
    }
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED) Layout(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_GETMINMAXINFO: {
        // No smaller than the setup controls above the list need.
        RECT r{0, 0, zemwin::Scale(kMinClientWidth), zemwin::Scale(kMinClientHeight)};
        AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize.x = r.right - r.left;
        info->ptMinTrackSize.y = r.bottom - r.top;
        return 0;
    }
    case WM_CLOSE:
        if (logic_) Close();
        return 0;
    }
    return Window::OnMessage(msg, wParam, lParam);
}

#include "Window.h"

#include "LabelLayout.h"
#include "Texts.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace zemwin {
namespace {

bool busy = false;
std::vector<HWND> dialogWindows;

HINSTANCE Instance() {
    return GetModuleHandleA(nullptr);
}

// The program declares itself DPI aware, so Windows no longer stretches its windows: the layout,
// drawn in pixels at 96 DPI, is scaled here to the screen's DPI.
int ScreenDpi() {
    static const int dpi = [] {
        HDC dc = GetDC(nullptr);
        int d = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
        if (dc) ReleaseDC(nullptr, dc);
        return d > 0 ? d : 96;
    }();
    return dpi;
}

HICON ProgramIcon(int size) {
    HANDLE icon = LoadImageA(Instance(), MAKEINTRESOURCEA(1), IMAGE_ICON, size, size, 0);
    return icon ? static_cast<HICON>(icon) : LoadIconA(nullptr, IDI_APPLICATION);
}

void RegisterOnce(const char* className, WNDPROC proc) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExA(Instance(), className, &wc)) return;
    wc.lpfnWndProc = proc;
    wc.hInstance = Instance();
    wc.hIcon = ProgramIcon(GetSystemMetrics(SM_CXICON));
    wc.hIconSm = ProgramIcon(GetSystemMetrics(SM_CXSMICON));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = className;
    if (!RegisterClassExA(&wc))
        throw std::runtime_error(std::string("Can not register window class ") + className);
}

void Dispatch(MSG& msg) {
    for (HWND w : dialogWindows)
        if (IsDialogMessageA(w, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

} // namespace

int Scale(int pixels) {
    return MulDiv(pixels, ScreenDpi(), 96);
}

Window::~Window() {
    if (hwnd_) {
        RemoveDialogWindow(hwnd_);
        DestroyWindow(hwnd_);
    }
}

void Window::CreateTopLevel(const char* className, const char* caption, DWORD style, int width,
                            int height, bool clientSize, HWND owner) {
    RegisterOnce(className, &Window::Proc);
    RECT r{0, 0, Scale(width), Scale(height)};
    if (clientSize) AdjustWindowRectEx(&r, style, FALSE, 0);
    CreateWindowExA(0, className, caption, style, CW_USEDEFAULT, CW_USEDEFAULT, r.right - r.left,
                    r.bottom - r.top, owner, nullptr, Instance(), this);
    if (!hwnd_) throw std::runtime_error(std::string("Can not create window ") + caption);
}

LRESULT CALLBACK Window::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* created = reinterpret_cast<CREATESTRUCTA*>(lParam);
        auto* self = static_cast<Window*>(created->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcA(hwnd, msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    try {
        return self->OnMessage(msg, wParam, lParam);
    } catch (const std::exception& e) {
        ShowExceptionBox(e.what());
    } catch (...) {
        ShowExceptionBox("");
    }
    return 0;
}

LRESULT Window::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_ACTIVATE:
        // A plain window forgets its focused control when another window is activated.
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND f = GetFocus();
            if (f && IsChild(hwnd_, f)) savedFocus_ = f;
        } else if (!HIWORD(wParam)) {
            HWND f = savedFocus_ && IsWindow(savedFocus_) ? savedFocus_ : firstFocus_;
            if (f && IsWindowEnabled(f) && IsWindowVisible(f)) {
                SetFocus(f);
                return 0;
            }
        }
        break;
    case WM_SETCURSOR:
        if (busy) {
            SetCursor(LoadCursorA(nullptr, IDC_WAIT));
            return TRUE;
        }
        break;
    }
    return DefWindowProcA(hwnd_, msg, wParam, lParam);
}

void ShowExceptionBox(const std::string& text) {
    MessageBoxA(GetActiveWindow(), text.c_str(), zem::txt::kCaption, MB_OK | MB_ICONERROR);
}

void SetBusy(bool on) {
    busy = on;
    if (on) {
        SetCursor(LoadCursorA(nullptr, IDC_WAIT));
        return;
    }
    // Let the window under the mouse choose its cursor again (an I-beam over an edit line).
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
    POINT p;
    if (!GetCursorPos(&p)) return;
    HWND w = WindowFromPoint(p);
    if (!w || GetWindowThreadProcessId(w, nullptr) != GetCurrentThreadId()) return;
    LRESULT hit = SendMessageA(w, WM_NCHITTEST, 0, MAKELPARAM(p.x, p.y));
    SendMessageA(w, WM_SETCURSOR, reinterpret_cast<WPARAM>(w), MAKELPARAM(hit, WM_MOUSEMOVE));
}

bool Busy() {
    return busy;
}

void AddDialogWindow(HWND hwnd) {
    dialogWindows.push_back(hwnd);
}

void RemoveDialogWindow(HWND hwnd) {
    dialogWindows.erase(std::remove(dialogWindows.begin(), dialogWindows.end(), hwnd),
                        dialogWindows.end());
}

void RunMessageLoop() {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        Dispatch(msg);
}

void ProcessPendingMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        Dispatch(msg);
    }
}

HFONT UiFont() {
    static const HFONT font = [] {
        auto stock = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        if (ScreenDpi() == 96) return stock;
        // The stock font's face at its 8 points; its own height may or may not follow the DPI.
        LOGFONTA lf{};
        if (!GetObjectA(stock, sizeof lf, &lf)) return stock;
        lf.lfHeight = -MulDiv(8, ScreenDpi(), 72);
        lf.lfWidth = 0;
        HFONT scaled = CreateFontIndirectA(&lf);
        return scaled ? scaled : stock;
    }();
    return font;
}

HWND CreateControl(HWND parent, const char* cls, const char* text, DWORD style, DWORD exStyle,
                   int x, int y, int width, int height, int id) {
    HWND h =
        CreateWindowExA(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, Scale(x), Scale(y),
                        Scale(width), Scale(height), parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(), nullptr);
    if (!h) throw std::runtime_error(std::string("Can not create control ") + cls);
    SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont()), FALSE);
    return h;
}

std::string WindowText(HWND hwnd) {
    int n = GetWindowTextLengthA(hwnd);
    if (n <= 0) return {};
    std::string s(static_cast<size_t>(n) + 1, '\0');
    s.resize(static_cast<size_t>(GetWindowTextA(hwnd, s.data(), n + 1)));
    return s;
}

void AutoLabel::Create(HWND parent, const std::string& text, int x, int y, bool rightAligned) {
    x_ = Scale(x);
    y_ = Scale(y);
    right_ = rightAligned;
    hwnd_ = CreateControl(parent, "STATIC", "", SS_NOPREFIX | (right_ ? SS_RIGHT : SS_LEFT), 0, x,
                          y, 0, 0);
    SetText(text);
}

void AutoLabel::PairWithCaption(const AutoLabel& caption) {
    captionRight_ = caption.Right();
    SetText(text_);
}

int AutoLabel::Width(const std::string& text) const {
    HDC dc = GetDC(hwnd_);
    HGDIOBJ old = SelectObject(dc, UiFont());
    SIZE size{};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(hwnd_, dc);
    return size.cx;
}

void AutoLabel::SetText(const std::string& text) {
    text_ = text;
    std::string shown = text;
    int width = Width(text);
    if (right_ && captionRight_ >= 0) {
        zem::ValueLabel v = zem::LayOutValueLabel(
            text, captionRight_, x_, [this](const std::string& s) { return Width(s); });
        shown = v.shown;
        width = v.width;
    }
    cut_ = shown != text;
    width_ = width;
    SetWindowTextA(hwnd_, shown.c_str());
    HDC dc = GetDC(hwnd_);
    HGDIOBJ old = SelectObject(dc, UiFont());
    TEXTMETRICA tm{};
    GetTextMetricsA(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(hwnd_, dc);
    int left = right_ ? x_ - width : x_;
    SetWindowPos(hwnd_, nullptr, left, y_, width, tm.tmHeight, SWP_NOZORDER | SWP_NOACTIVATE);
}

} // namespace zemwin

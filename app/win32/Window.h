#pragma once
#include "win32.h"

#include <exception>
#include <string>

namespace zemwin {

// A top-level window whose messages reach a C++ object. Its window procedure is also where an
// exception from a handler stops: it cannot unwind through the system's frames, so it is shown in
// an error box and the message loop goes on.
class Window {
public:
    Window() = default;
    virtual ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    HWND Handle() const { return hwnd_; }

protected:
    // Outer size when clientSize is false, else the size of the client area; in pixels at 96
    // DPI, scaled to the screen's.
    void CreateTopLevel(const char* className, const char* caption, DWORD style, int width,
                        int height, bool clientSize, HWND owner);
    // Unhandled messages end here: focus kept across deactivation, the hourglass.
    virtual LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);

    HWND hwnd_ = nullptr;
    // Control that takes the focus when the window is first activated.
    HWND firstFocus_ = nullptr;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND savedFocus_ = nullptr;
};

// The framework's error box for an exception that reached the message loop.
void ShowExceptionBox(const std::string& text);

// Runs f; an exception from it is shown in the error box.
template <class F> void Guarded(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        ShowExceptionBox(e.what());
    } catch (...) {
        ShowExceptionBox("");
    }
}

// The hourglass over every window of the program while busy.
void SetBusy(bool busy);
bool Busy();

// Windows whose controls take the dialog keys (Tab, Enter and Space on buttons).
void AddDialogWindow(HWND hwnd);
void RemoveDialogWindow(HWND hwnd);

// The message loop; returns when it meets the quit message.
void RunMessageLoop();
// Handles what is queued and returns. A quit message met here is posted again, so that the
// loops further out still end.
void ProcessPendingMessages();

// Pixels at 96 DPI in the screen's.
int Scale(int pixels);
// The user-interface font every control uses, at the screen's DPI.
HFONT UiFont();
// Positions and sizes are given in pixels at 96 DPI and scaled to the screen's.
HWND CreateControl(HWND parent, const char* cls, const char* text, DWORD style, DWORD exStyle,
                   int x, int y, int width, int height, int id = 0);
std::string WindowText(HWND hwnd);

// A label that takes the size of its text; a right-aligned one keeps its right edge.
// A right-aligned value paired with its caption keeps to the space right of that caption, and
// is cut there when it is too long (LayOutValueLabel).
class AutoLabel {
public:
    // x is the left edge, or the right edge when rightAligned.
    void Create(HWND parent, const std::string& text, int x, int y, bool rightAligned = false);
    void PairWithCaption(const AutoLabel& caption);
    void SetText(const std::string& text);
    std::string Text() const { return text_; } // uncut
    bool Cut() const { return cut_; }
    int Right() const { return right_ ? x_ : x_ + width_; }
    HWND Handle() const { return hwnd_; }

private:
    int Width(const std::string& text) const;

    HWND hwnd_ = nullptr;
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    bool right_ = false;
    int captionRight_ = -1; // none
    std::string text_;
    bool cut_ = false;
};

} // namespace zemwin

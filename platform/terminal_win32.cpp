#include "Terminal.h"

#include "win32.h"

#include <io.h>

#include <atomic>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace zem {

bool IsTerminal(std::FILE* stream) {
    if (!stream) return false;
    // _isatty holds for any character device (NUL, a COM port); only a console is a terminal.
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return false;
    // A console that cannot interpret the sequences gets plain lines instead.
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
           SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

int TerminalColumns(std::FILE* stream) {
    if (!stream) return 0;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (h == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(h, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void IgnoreBrokenPipe() {}

int HangupSignal() {
    return 0;
}

namespace {
std::atomic<bool (*)(ConsoleEvent)> gConsoleHandler{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
    bool (*handler)(ConsoleEvent) = gConsoleHandler.load(std::memory_order_acquire);
    if (!handler) return FALSE;
    switch (type) {
    case CTRL_C_EVENT:
        return handler(ConsoleEvent::kInterrupt);
    case CTRL_BREAK_EVENT:
        return handler(ConsoleEvent::kBreak);
    case CTRL_CLOSE_EVENT:
        return handler(ConsoleEvent::kClose);
    case CTRL_LOGOFF_EVENT:
        return handler(ConsoleEvent::kLogoff);
    case CTRL_SHUTDOWN_EVENT:
        return handler(ConsoleEvent::kShutdown);
    default:
        return FALSE;
    }
}
} // namespace

void SetConsoleEventHandler(bool (*handler)(ConsoleEvent)) {
    bool (*was)(ConsoleEvent) = gConsoleHandler.exchange(handler, std::memory_order_acq_rel);
    // Added after the C runtime's handler (which signal() installs), so called before it.
    if (handler && !was) SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (!handler && was) SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

} // namespace zem

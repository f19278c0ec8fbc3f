#include "Terminal.h"

#include "win32.h"

#include <io.h>

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

} // namespace zem

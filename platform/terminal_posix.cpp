#include "Terminal.h"

#include <csignal>
#include <sys/ioctl.h>
#include <unistd.h>

namespace zem {

bool IsTerminal(std::FILE* stream) {
    return stream && isatty(fileno(stream)) != 0;
}

int TerminalColumns(std::FILE* stream) {
    winsize ws{};
    if (!stream || ioctl(fileno(stream), TIOCGWINSZ, &ws) != 0) return 0;
    return ws.ws_col;
}

void IgnoreBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

int HangupSignal() {
    return SIGHUP;
}

void SetConsoleEventHandler(bool (*)(ConsoleEvent)) {}

} // namespace zem

#pragma once
#include <cstdio>

namespace zem {

// True when the stream is an interactive terminal that takes cursor-control sequences; where the
// platform has to be asked to interpret them, this asks.
bool IsTerminal(std::FILE* stream);

// Columns of the terminal a stream writes to; 0 when it is not a terminal or does not say.
int TerminalColumns(std::FILE* stream);

// A write to a pipe whose reader has gone fails instead of ending the process, so a station
// outlives `| head`. Where the platform has no such signal, nothing to do.
void IgnoreBrokenPipe();

// The signal a dropped session sends (SIGHUP); 0 where the platform has none.
int HangupSignal();

// The console's control events (Windows): Ctrl-C, Ctrl-Break, and the three after which the
// system ends the process as soon as the handler returns (or after a few seconds at most).
enum class ConsoleEvent { kInterrupt, kBreak, kClose, kLogoff, kShutdown };
// Calls `handler` on a thread the system gives it for each event, before the C runtime's own
// handling (which would end the process at once for all but Ctrl-C); nullptr removes it. A
// handler that returns false leaves the event to the next handler. No-op where the platform
// has no console events.
void SetConsoleEventHandler(bool (*handler)(ConsoleEvent));

} // namespace zem

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

} // namespace zem

#pragma once
#include <cstdio>

namespace zem {

// True when the stream is an interactive terminal that takes cursor-control sequences; where the
// platform has to be asked to interpret them, this asks.
bool IsTerminal(std::FILE* stream);

} // namespace zem

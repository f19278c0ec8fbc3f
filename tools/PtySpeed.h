#pragma once
#include <cstdint>

namespace zem::sim {

// The output speed the far end of a pseudo-terminal has configured, in bits per second (any
// rate, not only the standard ones). 0 when it cannot be read.
uint32_t PtyLineSpeed(int fd);

} // namespace zem::sim

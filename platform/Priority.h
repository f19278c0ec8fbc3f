#pragma once

namespace zem {

// Process scheduling priority around the boot handshake. A refusal (no privilege) is ignored.
void SetProcessPriorityHigh();
void SetProcessPriorityNormal();

} // namespace zem

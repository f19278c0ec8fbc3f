#pragma once

namespace zem {

// Process scheduling priority around the boot handshake. Each thread holds at most one raise; the
// process stays raised while any thread holds one, so parallel runs do not lower it under each
// other. A refusal (no privilege) is ignored.
void SetProcessPriorityHigh();   // this thread asks for the raise
void SetProcessPriorityNormal(); // this thread drops its ask; normal again when none is left
// Threads that hold a raise at this moment.
int ProcessPriorityHolders();

// The platform's own setting, without counting.
void ApplyProcessPriority(bool high);

} // namespace zem

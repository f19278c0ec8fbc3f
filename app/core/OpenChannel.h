#pragma once
#include "TChannel.h"

#include <string>

namespace zem {

// Creates and opens the channel for a port name: "COM..." and "/dev/..." a local serial port,
// "DISK..." the disk channel, anything else host:port of a network serial server. Returns null
// when the channel cannot be opened. The caller owns the channel and frees it with FreeChannel.
TChannel* OpenChannel(const std::string& portName);

// Destroys a channel as the kind its `kind` byte names; a channel of any other kind is left alone.
void FreeChannel(TChannel* channel);

} // namespace zem

#pragma once
#include "RunServices.h"
#include "SerialPorts.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zem {

// Everything the window logic reaches outside itself, so that the tests can replace it: the run's
// channels and protocol, and the port list and presence probe.
struct Services : RunServices {
    // The serial ports present with their aliases, unsorted; nothing when the source cannot be
    // read.
    std::function<std::optional<std::vector<SerialPortInfo>>()> listPorts;
    // One look at the module-presence lines of a port (for the trigger); false when unknown.
    std::function<bool(const std::string& portName)> modulePresent;
};

// The real channels, protocol and port list.
Services DefaultServices();

} // namespace zem

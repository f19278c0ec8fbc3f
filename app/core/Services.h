#pragma once
#include "LineForwarder.h"
#include "RunServices.h"
#include "SerialPorts.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zem {

// Everything the window logic reaches outside itself, so that the tests can replace it: the run's
// channels, protocol and presence probe, and the port list.
struct Services : RunServices {
    // The serial ports present with their aliases, unsorted; nothing when the source cannot be
    // read.
    std::function<std::optional<std::vector<SerialPortInfo>>()> listPorts;
    // Each port's stable name where the system knows one (another name of the same device),
    // else empty; null: none known.
    std::function<std::vector<std::string>(const std::vector<std::string>&)> stableAliases;
    // One line for whoever started the program (standard error, where one is attached); null:
    // nowhere.
    std::function<void(const std::string& line)> errorOutput;
    // The station's exchanges with its line; null: the real HTTP client.
    HttpFunction lineHttp;
};

// The real channels, protocol and port list.
Services DefaultServices();

} // namespace zem

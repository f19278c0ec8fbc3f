#include "SerialPorts.h"
#include "Services.h"

#include <cstdio>

namespace zem {

Services DefaultServices() {
    Services s;
    static_cast<RunServices&>(s) = DefaultRunServices();
    s.listPorts = []() -> std::optional<std::vector<SerialPortInfo>> {
        std::vector<SerialPortInfo> ports;
        if (!EnumerateSerialPorts(ports)) return std::nullopt;
        // With their stable names, so an operator can keep one for an adapter in the settings.
        return ports;
    };
    s.stableAliases = [](const std::vector<std::string>& names) {
        std::vector<SerialPortInfo> found;
        if (!EnumerateSerialPorts(found)) return std::vector<std::string>(names.size());
        return StableAliases(names, found);
    };
    // A program started without a console has a standard error that goes nowhere; writing to it
    // then does no harm.
    s.errorOutput = [](const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    };
    return s;
}

} // namespace zem

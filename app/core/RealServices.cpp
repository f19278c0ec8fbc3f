#include "SerialPorts.h"
#include "Services.h"

namespace zem {

Services DefaultServices() {
    Services s;
    static_cast<RunServices&>(s) = DefaultRunServices();
    s.listPorts = []() -> std::optional<std::vector<std::string>> {
        std::vector<SerialPortInfo> ports;
        if (!EnumerateSerialPorts(ports)) return std::nullopt;
        // The stable names as well, so an operator can keep one for an adapter in the settings.
        return PortNamesWithAliases(ports);
    };
    return s;
}

} // namespace zem

#include "SerialPorts.h"
#include "Services.h"

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
        std::vector<std::string> aliases(names.size());
        std::vector<SerialPortInfo> found;
        if (!EnumerateSerialPorts(found)) return aliases;
        for (size_t i = 0; i < names.size(); ++i)
            for (const auto& info : found) {
                std::vector<std::string> all = info.byId;
                all.insert(all.end(), info.byPath.begin(), info.byPath.end());
                all.push_back(info.name);
                bool mine = false;
                for (const auto& n : all)
                    mine = mine || n == names[i];
                if (!mine) continue;
                for (const auto& n : all)
                    if (n != names[i]) {
                        aliases[i] = n;
                        break;
                    }
            }
        return aliases;
    };
    return s;
}

} // namespace zem

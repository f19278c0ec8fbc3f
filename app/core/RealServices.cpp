#include "OpenChannel.h"
#include "SerialPorts.h"
#include "Services.h"

#include <cctype>

namespace zem {
namespace {

bool IsLocalPort(const std::string& name) {
    auto upper = [&](size_t i) { return std::toupper(static_cast<unsigned char>(name[i])); };
    return (name.size() >= 3 && upper(0) == 'C' && upper(1) == 'O' && upper(2) == 'M') ||
           name.rfind("/dev/", 0) == 0;
}

// Opens the port briefly and reads its modem lines: a module that is plugged in raises DSR or
// CTS. Only local ports: a disk channel would truncate its file and a network port is too slow
// to probe every second.
bool ModulePresent(const std::string& port) {
    if (!IsLocalPort(port)) return false;
    TChannel* channel = OpenChannel(port);
    if (!channel) return false;
    // The lines are read from the port by GetLines itself, at once.
    uint32_t lines = 0;
    const bool present = channel->GetLines(&lines) == 0 && (lines & (kLineDSR | kLineCTS)) != 0;
    FreeChannel(channel);
    return present;
}

} // namespace

Services DefaultServices() {
    Services s;
    static_cast<RunServices&>(s) = DefaultRunServices();
    s.listPorts = []() -> std::optional<std::vector<SerialPortInfo>> {
        std::vector<SerialPortInfo> ports;
        if (!EnumerateSerialPorts(ports)) return std::nullopt;
        // With their stable names, so an operator can keep one for an adapter in the settings.
        return ports;
    };
    s.modulePresent = ModulePresent;
    return s;
}

} // namespace zem

#include "SerialPorts.h"

#include <algorithm>
#include <cstring>

namespace zem {

int ComparePortNames(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return std::strcoll(a.c_str(), b.c_str());
}

std::vector<SerialPortInfo> SerialPortList() {
    std::vector<SerialPortInfo> ports;
    if (!EnumerateSerialPorts(ports)) return {SerialPortInfo{"COM1", {}, {}, {}, {}, {}}};
    std::stable_sort(ports.begin(), ports.end(), [](const auto& x, const auto& y) {
        return ComparePortNames(x.name, y.name) < 0;
    });
    return ports;
}

} // namespace zem

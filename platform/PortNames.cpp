#include "SerialPorts.h"

#include <algorithm>
#include <cstring>

namespace zem {

int ComparePortNames(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return std::strcoll(a.c_str(), b.c_str());
}

std::vector<SerialPortInfo> SortPortList(std::optional<std::vector<SerialPortInfo>> found) {
    if (!found) return {SerialPortInfo{"COM1", {}, {}, {}, {}, {}}};
    std::stable_sort(found->begin(), found->end(), [](const auto& x, const auto& y) {
        return ComparePortNames(x.name, y.name) < 0;
    });
    return std::move(*found);
}

std::vector<std::string> PortNamesWithAliases(const std::vector<SerialPortInfo>& ports) {
    std::vector<std::string> names;
    for (const SerialPortInfo& p : ports) {
        names.push_back(p.name);
        names.insert(names.end(), p.byId.begin(), p.byId.end());
        names.insert(names.end(), p.byPath.begin(), p.byPath.end());
    }
    return names;
}

} // namespace zem

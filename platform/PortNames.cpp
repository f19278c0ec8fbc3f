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

std::vector<std::string> StableAliases(const std::vector<std::string>& names,
                                       const std::vector<SerialPortInfo>& found) {
    std::vector<std::string> aliases(names.size());
    for (size_t i = 0; i < names.size(); ++i)
        for (const auto& info : found) {
            std::vector<std::string> all = info.byId;
            all.insert(all.end(), info.byPath.begin(), info.byPath.end());
            all.push_back(info.name);
            if (std::find(all.begin(), all.end(), names[i]) == all.end()) continue;
            for (const auto& n : all)
                if (n != names[i]) {
                    aliases[i] = n;
                    break;
                }
        }
    return aliases;
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

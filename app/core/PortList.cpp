#include "PortList.h"

#include <algorithm>
#include <cstring>

namespace zem {

bool PortNameLess(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    return std::strcoll(a.c_str(), b.c_str()) < 0;
}

std::vector<std::string> PortListItems(std::optional<std::vector<std::string>> found) {
    if (!found) return {"COM1"};
    std::stable_sort(found->begin(), found->end(), PortNameLess);
    return *found;
}

} // namespace zem

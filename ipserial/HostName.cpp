#include "HostName.h"

#include <algorithm>

namespace ipserial {

namespace {

std::string Lower(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace

bool DnsNameMatches(const std::string& pattern, const std::string& host) {
    const std::string p = Lower(pattern), h = Lower(host);
    if (p.empty() || h.empty()) return false;
    if (p.find('*') == std::string::npos) return p == h;
    // Only "*." at the very start, and at least two labels after it.
    if (p.size() < 4 || p[0] != '*' || p[1] != '.' || p.find('*', 1) != std::string::npos)
        return false;
    const std::string rest = p.substr(1); // ".example.net"
    if (std::count(rest.begin(), rest.end(), '.') < 2) return false;
    const size_t dot = h.find('.');
    return dot != std::string::npos && dot > 0 && h.compare(dot, std::string::npos, rest) == 0;
}

} // namespace ipserial

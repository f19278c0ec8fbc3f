#include "Net.h"

#include "win32.h"

#include <winsock2.h>

#include <cstdio>

namespace zem {

bool LookupHostIPv4(const std::string& host, std::string& dotted) {
    // An empty name would give this machine's own address.
    if (host.empty()) return false;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    bool ok = false;
    if (wsa.wVersion == MAKEWORD(2, 2)) {
        const hostent* h = gethostbyname(host.c_str());
        if (h && h->h_addrtype == AF_INET && h->h_length == 4 && h->h_addr_list &&
            h->h_addr_list[0]) {
            const auto* b = reinterpret_cast<const unsigned char*>(h->h_addr_list[0]);
            char text[16];
            std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
            dotted = text;
            ok = true;
        }
    }
    WSACleanup();
    return ok;
}

} // namespace zem

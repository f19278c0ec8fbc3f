#include "Net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace zem {

bool LookupHostIPv4(const std::string& host, std::string& dotted) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    bool ok = false;
    for (addrinfo* a = res; a && !ok; a = a->ai_next) {
        if (a->ai_family != AF_INET || !a->ai_addr) continue;
        char text[INET_ADDRSTRLEN];
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
            dotted = text;
            ok = true;
        }
    }
    freeaddrinfo(res);
    return ok;
}

} // namespace zem

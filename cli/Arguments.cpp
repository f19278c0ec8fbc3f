#include "Arguments.h"

#include "OpenChannel.h"
#include "ProgrammingStation.h"

#include <cctype>

namespace zem::cli {

const std::vector<std::string>& Speeds() {
    // Any other text would reach the module as the protocol's "unknown" speed code while the line
    // stays at 115200: the module and the program would no longer hear each other.
    static const std::vector<std::string> speeds = {"921600", "460800", "230400", "115200",
                                                    "57600",  "38400",  "19200",  "9600"};
    return speeds;
}

std::string SpeedList() {
    std::string list;
    for (const std::string& s : Speeds())
        list += (list.empty() ? "" : ", ") + s;
    return list;
}

namespace {

bool IsTlsPort(const std::string& port) {
    PortNameParts parts = ParsePortName(port);
    return parts.kind == PortNameParts::kNetwork && parts.tls;
}

// A whole number of modules, at least 1, that fits.
bool ParseCount(const std::string& text, unsigned& count) {
    if (text.empty() || text.size() > 9) return false;
    unsigned n = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n == 0) return false;
    count = n;
    return true;
}

} // namespace

std::string CheckArguments(const Arguments& a, unsigned& count) {
    count = 0;
    const bool stationOptions =
        a.loop || a.countGiven || a.presence || !a.resultsFile.empty() || !a.dumpDir.empty();
    const bool trustOptions =
        !a.trust.caFile.empty() || !a.trust.certFile.empty() || !a.trust.keyFile.empty();
    if (a.info && a.listPorts) return "--info and --list-ports: one at a time";
    if (a.info || a.listPorts) {
        const std::string what = a.info ? "--info" : "--list-ports";
        if (stationOptions || !a.wireTraceFile.empty() || trustOptions || a.debug)
            return what + " takes no run options (--debug, --loop, --count, --presence, " +
                   "--results, --dump-dir, --wire-trace, --ca, --cert, --key)";
        if (a.info && a.positional.size() != 1)
            return "--info takes one stream file, " + std::to_string(a.positional.size()) +
                   " parameters given";
        if (a.listPorts && !a.positional.empty())
            return "--list-ports takes no parameters, " + std::to_string(a.positional.size()) +
                   " given";
        return {};
    }
    if (a.positional.size() != 3)
        return "expected three parameters, STREAM PORT[,PORT...] SPEED; " +
               std::to_string(a.positional.size()) + " given";
    const std::string& ports = a.positional[1];
    const std::string& speed = a.positional[2];
    bool known = false;
    for (const std::string& s : Speeds())
        known = known || s == speed;
    if (!known) return "speed " + speed + ": not one of " + SpeedList();
    if (a.countGiven && !ParseCount(a.count, count))
        return "--count " + a.count + ": the number of modules per port, a whole number from 1";
    if (a.loop && a.countGiven)
        return "--loop and --count exclude each other: --loop goes on until stopped, --count " +
               a.count + " stops after " + a.count + " modules per port";
    if (a.presence && !a.loop && !a.countGiven)
        return "--presence needs --loop or --count: it waits for each module of a station";
    if (!a.trust.certFile.empty() && a.trust.keyFile.empty())
        return "--cert needs --key: the client certificate's private key";
    if (!a.trust.keyFile.empty() && a.trust.certFile.empty())
        return "--key needs --cert: the client certificate the key belongs to";
    // A list that names a port twice or an empty one is refused with its own reason.
    if (const std::vector<std::string> list = SplitPortList(ports); trustOptions && !list.empty()) {
        bool anyTls = a.lineUrl.rfind("https://", 0) == 0;
        for (const std::string& p : list)
            anyTls = anyTls || IsTlsPort(p);
        if (!anyTls) {
            const char* option = !a.trust.caFile.empty() ? "--ca" : "--cert";
            return std::string(option) + " is for tls:// ports only; " + ports + " has none";
        }
    }
    return {};
}

} // namespace zem::cli

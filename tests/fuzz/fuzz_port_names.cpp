// Port names as the operator types them: up to three names separated by NUL bytes. How a name is
// read (local, disk, network host and port), the dump file named after it, the order of the port
// list, and the escaped form in which lists show names.
#include "Format.h"
#include "FuzzInput.h"
#include "OpenChannel.h"
#include "Paths.h"
#include "SerialPorts.h"
#include "TFPLib.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_port_names: %s\n", what);
    __builtin_trap();
}

int Sign(int v) {
    return (v > 0) - (v < 0);
}

void CheckName(const std::string& name) {
    const zem::PortNameParts parts = zem::ParsePortName(name);
    if (parts.kind == zem::PortNameParts::kNetwork) {
        const size_t colon = name.find(':');
        Check(colon != std::string::npos && parts.host == name.substr(0, colon),
              "the host is not the text before the first colon");
        Check(colon + 1 < name.size(), "a network name without a port part");
        const long v = std::strtol(name.c_str() + colon + 1, nullptr, 10);
        Check(parts.port == (v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v), "the port number");
    } else {
        Check(parts.host.empty() && parts.port == 0, "host or port outside a network name");
    }
    if (parts.kind != zem::PortNameParts::kNone)
        Check(name.size() <= 255 && name.find('\0') == std::string::npos, "an unusable name read");

    // The dump lands in the current directory whatever the name holds.
    const std::string dump = TFPLib::DumpFileName(name);
    const std::string suffix = "_Read.bin";
    Check(dump.size() == std::min<size_t>(name.size(), 64) + suffix.size() &&
              dump.compare(dump.size() - suffix.size(), suffix.size(), suffix) == 0,
          "the dump name's shape");
    for (size_t i = 0; i < dump.size(); ++i) {
        Check(!zem::IsForbiddenFileNameChar(dump[i]), "a dump name that is no plain file name");
        if (i < std::min<size_t>(name.size(), 64) && !zem::IsForbiddenFileNameChar(name[i]))
            Check(dump[i] == name[i], "a character of the port lost in the dump name");
    }

    // Shown names carry no control character, and escaping twice changes nothing more.
    const std::string shown = zem::Printable(name);
    for (size_t i = 0; i < shown.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(shown[i]);
        Check(c >= 0x20 && c != 0x7F, "a control character shown");
        Check(!(c == 0xC2 && i + 1 < shown.size() &&
                static_cast<unsigned char>(shown[i + 1]) <= 0x9F),
              "a C1 control shown");
    }
    Check(zem::Printable(shown) == shown, "escaping is not settled after one pass");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto names = zem::fuzz::SplitAtNul(data, size, 3);
    for (const std::string& n : names)
        CheckName(n);
    // The port list's order is a strict weak order: antisymmetric and transitive.
    for (const std::string& a : names)
        for (const std::string& b : names) {
            Check(Sign(zem::ComparePortNames(a, b)) == -Sign(zem::ComparePortNames(b, a)),
                  "the order is not antisymmetric");
            for (const std::string& c : names)
                if (zem::ComparePortNames(a, b) < 0 && zem::ComparePortNames(b, c) < 0)
                    Check(zem::ComparePortNames(a, c) < 0, "the order is not transitive");
        }
    std::vector<zem::SerialPortInfo> found;
    for (const std::string& n : names) {
        zem::SerialPortInfo port;
        port.name = n;
        found.push_back(port);
    }
    const auto sorted = zem::SortPortList(found);
    Check(sorted.size() == names.size(), "the list lost or gained a port");
    for (size_t i = 1; i < sorted.size(); ++i)
        Check(zem::ComparePortNames(sorted[i - 1].name, sorted[i].name) <= 0, "the list's order");
    return 0;
}

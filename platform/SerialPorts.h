#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zem {

// A serial port present on this machine, with what is known of the device behind it (empty
// where unknown), so that an operator can tell two adapters apart.
struct SerialPortInfo {
    std::string name;         // as a port name is typed: "COM3", "/dev/ttyUSB0"
    std::string usbVendorId;  // four hex digits
    std::string usbProductId; // four hex digits
    std::string manufacturer;
    std::string product;
    std::string serialNumber;
    int latencyTimerMs = -1; // a USB adapter's latency timer; -1 where the system shows none
    // Links to the same device under /dev/serial (Linux), which name an adapter by what it is or
    // where it is plugged in and so survive a change of the order in which adapters appear.
    std::vector<std::string> byId = {};
    std::vector<std::string> byPath = {};
};

// Each port's own name followed by its aliases: every name that opens one of the ports.
std::vector<std::string> PortNamesWithAliases(const std::vector<SerialPortInfo>& ports);

// For each name given, another name of the same device among `found` (its by-id link first, then
// its by-path link, then its own name); empty where none is known.
std::vector<std::string> StableAliases(const std::vector<std::string>& names,
                                       const std::vector<SerialPortInfo>& found);

// The platform's source of serial ports, in the source's own order. False when the source cannot
// be read.
bool EnumerateSerialPorts(std::vector<SerialPortInfo>& ports);

// Natural order of port names: a shorter name first, names of equal length by the locale's
// case-sensitive collation (so COM2 before COM10). Negative, 0 or positive.
int ComparePortNames(const std::string& a, const std::string& b);

// The ports found, sorted by ComparePortNames; only "COM1" when the source could not be read
// (nullopt). No ports at all gives an empty list.
std::vector<SerialPortInfo> SortPortList(std::optional<std::vector<SerialPortInfo>> found);

// SortPortList of what EnumerateSerialPorts finds. Inline, so that code using only the sort does
// not need a platform source.
inline std::vector<SerialPortInfo> SerialPortList() {
    std::vector<SerialPortInfo> ports;
    if (!EnumerateSerialPorts(ports)) return SortPortList(std::nullopt);
    return SortPortList(std::move(ports));
}

} // namespace zem

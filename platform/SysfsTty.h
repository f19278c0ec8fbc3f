#pragma once
#include "SerialPorts.h"

#include <string>
#include <vector>

namespace zem {

// Linux port list source: the ttys under a sysfs class directory ("/sys/class/tty/") that have a
// device behind them, as "/dev/NAME", with the USB details of the device they hang from. False
// when the directory cannot be read.
bool EnumerateSysfsTtys(const std::string& classDir, std::vector<SerialPortInfo>& ports);

// Fills each port's byId and byPath with the links under serialDir ("/dev/serial/") "by-id/" and
// "by-path/" that lead to the port's own device file, sorted by name. Missing folders add nothing.
void AddSerialAliases(const std::string& serialDir, std::vector<SerialPortInfo>& ports);

} // namespace zem

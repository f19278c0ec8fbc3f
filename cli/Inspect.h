#pragma once
#include "SerialPorts.h"

#include <cstdio>
#include <string>
#include <vector>

namespace zem::cli {

// --info: the header fields, the verdict and the record walk. 0 valid, 3 invalid, 4 missing.
int ShowInfo(const std::string& stream, bool json, std::FILE* out);

// --list-ports: one port a line with what is known of its device, its aliases indented on the
// lines below. Always 0.
int ListPorts(bool json, std::FILE* out);
// What ListPorts prints for the given ports.
int PrintPorts(const std::vector<SerialPortInfo>& ports, bool json, std::FILE* out);

} // namespace zem::cli

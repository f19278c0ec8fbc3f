#pragma once
#include <string>

namespace zem {

// Looks a host name up (a dotted IPv4 address is accepted as a name) and gives its first IPv4
// address as dotted text. Starts and stops the platform's socket layer around the lookup where
// the platform has one. False when the lookup found nothing.
bool LookupHostIPv4(const std::string& host, std::string& dotted);

} // namespace zem

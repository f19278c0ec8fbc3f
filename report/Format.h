#pragma once
#include <string>

namespace zem {

// printf-style formatting into a std::string (messages carry "%08X", "%02X" and the like).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace zem

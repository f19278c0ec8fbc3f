#pragma once
#include <string>
#include <string_view>

namespace zem {

// printf-style formatting into a std::string (messages carry "%08X", "%02X" and the like).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Text from a file or a device, made safe to show: every control character (C0, DEL, and C1 in
// its UTF-8 form) and every byte that is not part of valid UTF-8 becomes "\xNN", so that nothing
// a file or a device carries can move a terminal's cursor, retitle a window or pass for a second
// line. Printable characters, UTF-8 ones included, are kept.
std::string Printable(std::string_view text);

} // namespace zem

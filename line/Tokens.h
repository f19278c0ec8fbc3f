#pragma once
#include <string>

namespace zem::line {

// A new secret for a station or a reader: 32 random bytes in hexadecimal, with a prefix that says
// what it is for ("zs-" a station, "zv-" a viewer). Empty when the system has no randomness.
std::string NewToken(const char* prefix);
// What the database keeps of a token: its SHA-256 in hexadecimal. A stolen database yields no
// token that works.
std::string TokenHash(const std::string& token);
// SHA-256 of a whole file in hexadecimal, and its size; false with `error` in words.
bool FileSha256(const std::string& path, std::string& hex, long long& size, std::string& error);

} // namespace zem::line

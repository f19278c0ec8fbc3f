#pragma once
#include <string>

namespace zem {

// Initialisation-file access with the rules of the Windows profile-string API: sections and keys
// matched without regard to case, values read as text, everything not written left as it is,
// file and section created when missing. Always pass a full path.
std::string ProfileRead(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& def);
bool ProfileWrite(const std::string& file, const std::string& section, const std::string& key,
                  const std::string& value);

} // namespace zem

#pragma once
#include <string>

namespace zem {

// Initialisation-file reading with the rules of the Windows profile-string API: sections and keys
// matched without regard to case, values read as text. Always pass a full path.
std::string ProfileRead(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& def);

} // namespace zem

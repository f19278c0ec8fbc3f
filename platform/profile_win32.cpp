#include "Profile.h"

#include "ProfileFile.h"
#include "win32.h"

namespace zem {

std::string ProfileRead(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& def) {
    char buf[2048];
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buf, sizeof buf,
                                       file.c_str());
    return std::string(buf, n);
}

bool ProfileWrite(const std::string& file, const std::string& section, const std::string& key,
                  const std::string& value) {
    // The same quoting and line-break removal as the portable writer: the system's reader trims
    // and unquotes values the same way.
    const std::string text = ProfileFile::ValueText(value);
    return WritePrivateProfileStringA(section.c_str(), key.c_str(), text.c_str(), file.c_str()) !=
           0;
}

} // namespace zem

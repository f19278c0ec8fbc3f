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

} // namespace zem

#include "Profile.h"

#include "ProfileFile.h"

namespace zem {

namespace {
constexpr size_t kMaxValue = 2047; // the reader's buffer holds 2047 characters and a NUL
}

std::string ProfileRead(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& def) {
    ProfileFile ini;
    ini.Load(file);
    std::string v = ini.Get(section, key).value_or(def);
    if (v.size() > kMaxValue) v.resize(kMaxValue);
    return v;
}

} // namespace zem

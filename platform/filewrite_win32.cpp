#include "ProfileFile.h"

#include "Paths.h"

#include "win32.h"

#include <cstdio>

namespace zem {

bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
    std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (std::fflush(f) == 0) && ok;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || !ReplaceFile(tmp, path)) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

bool MayWriteFile(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES &&
           !(a & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
}

} // namespace zem

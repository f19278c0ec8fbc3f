#pragma once
// Pieces of a fuzz input read from the front, so that a seed reads in the order it was written.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zem::fuzz {

// Splits at NUL bytes into at most `parts` pieces; the last piece takes the rest, NULs and all.
inline std::vector<std::string> SplitAtNul(const uint8_t* data, size_t size, size_t parts) {
    std::vector<std::string> out;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (out.size() + 1 < parts) {
        size_t nul = rest.find('\0');
        if (nul == std::string_view::npos) break;
        out.emplace_back(rest.substr(0, nul));
        rest.remove_prefix(nul + 1);
    }
    out.emplace_back(rest);
    return out;
}

// A directory for the targets' files, on a memory file system where there is one (/dev/shm), so
// that a run costs no disk writes; removed when the process ends.
const std::string& ScratchDir();

// A regular file whose size says more than reading it gives (a kernel attribute file: the same as
// a file cut between its size and its read), or "" when the system has none.
std::string FileReadingShorterThanItsSize();

} // namespace zem::fuzz

#pragma once
#include <cstddef>
#include <vector>

namespace zem::line {

// A page's file, built into the program from line/www/.
struct WwwFile {
    const char* path; // "/line.html"
    const char* type; // its media type
    const unsigned char* data;
    size_t size;
};

const std::vector<WwwFile>& WwwFiles();

} // namespace zem::line

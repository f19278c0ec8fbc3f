#include "Paths.h"

#include <cstring>

namespace zem {

bool IsForbiddenFileNameChar(char c) {
    return static_cast<unsigned char>(c) < 0x20 || std::strchr("/\\:*?\"<>|", c) != nullptr;
}

} // namespace zem

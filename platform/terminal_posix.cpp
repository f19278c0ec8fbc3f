#include "Terminal.h"

#include <unistd.h>

namespace zem {

bool IsTerminal(std::FILE* stream) {
    return stream && isatty(fileno(stream)) != 0;
}

} // namespace zem

#pragma once
#include <string>

namespace zem {

// A random (version 4) UUID in its usual text form, lower case: the name a run's result keeps
// wherever it travels, so that a copy sent twice is known as the same result.
std::string NewUuid();

} // namespace zem

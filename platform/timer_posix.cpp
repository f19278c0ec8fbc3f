#include "TimerResolution.h"

namespace zem {

ScopedFineTimer::ScopedFineTimer() = default;
ScopedFineTimer::~ScopedFineTimer() = default;

} // namespace zem

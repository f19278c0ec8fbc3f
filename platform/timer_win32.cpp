#include "TimerResolution.h"

#include "win32.h"

#include <mmsystem.h>

namespace zem {

ScopedFineTimer::ScopedFineTimer() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}

ScopedFineTimer::~ScopedFineTimer() {
    if (raised_) timeEndPeriod(1);
}

} // namespace zem

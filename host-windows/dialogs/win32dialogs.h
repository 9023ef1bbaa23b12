// What the Win32 dialogs offer besides DialogManager: the clock of their
// quiet second, for tests that must not wait for a real one.
#pragma once

#include "quietperiod.h"

// The clock of the dialogs shown from now on; an empty one is the steady clock.
void setQuietPeriodClock(QuietPeriod::Clock clock);

#pragma once

// The clock interface lives in base/Clock.h, so that the platform layers can be given one too;
// the kit's production and test clocks are SystemClock.h and ManualClock.h.
#include "base/Clock.h"

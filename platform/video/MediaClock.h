#pragma once
// The clocks of media time stamps.
#include <cstdint>

namespace brindlet::platform {

// CLOCK_MONOTONIC in ns: the clock of capture presentation times (it stops while the machine sleeps).
uint64_t monotonicNowNs();
// CLOCK_MONOTONIC_RAW in ns: the clock of capture times sent to the device.
uint64_t monotonicRawNowNs();

}  // namespace brindlet::platform

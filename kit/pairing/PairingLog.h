#pragma once

#include "kit/support/KitLog.h"

namespace brindlet {

// The kit's subsystem, category "pairing": pairing, admission and the paired-device file.
inline platform::Logger pairingLog() { return kitLog("pairing"); }

}  // namespace brindlet

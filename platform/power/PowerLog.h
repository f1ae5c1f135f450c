#pragma once

#include "platform/log/Log.h"

namespace brindlet::platform {

// "io.tavix.nolu.host" / "power": keeping the display awake, sleep, wake and lock.
const Logger& powerLog();

}  // namespace brindlet::platform

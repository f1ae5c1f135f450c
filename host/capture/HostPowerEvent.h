#pragma once

// A sleep, wake, display-sleep or lock event of this computer, in the order the system's
// watcher (platform/power) reports them; its case name is what the log shows.

#include "platform/power/SystemPowerEvents.h"

namespace brindlet::host {

using HostPowerEvent = platform::PowerEvent;

// "willSleep", "didWake", "screensDidSleep", "screensDidWake", "screenLocked", "screenUnlocked".
inline const char* hostPowerEventName(HostPowerEvent event) { return platform::powerEventName(event); }

}  // namespace brindlet::host

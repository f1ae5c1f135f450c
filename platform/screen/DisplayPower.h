#pragma once
// Whether the X server has put its monitors to sleep (DPMS standby, suspend or off).
#include <optional>
#include <string>

namespace brindlet::platform {

// True when DPMS is enabled and the monitors are not on; false when they are on; nothing when
// the server cannot be reached or has no DPMS (Xvfb, for one). `displayName` empty: DISPLAY.
std::optional<bool> monitorsAreAsleep(const std::string& displayName = {});

} // namespace brindlet::platform

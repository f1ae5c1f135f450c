#pragma once

// The kit logs under the subsystem of the application built on it: the application names
// it once at start, before anything logs (the host "io.tavix.nolu.host", a device app its
// own). Until then the kit logs under "io.tavix.nolu.kit".
//
//   setKitLogSubsystem("io.tavix.nolu.host");
//   kitLog("runtime").error("task ended by an error: %s", what);

#include <string>

#include "platform/log/Log.h"

namespace brindlet {

void setKitLogSubsystem(std::string subsystem);

// A logger of the kit's subsystem and the given category.
platform::Logger kitLog(const std::string& category);

}  // namespace brindlet

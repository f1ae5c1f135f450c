#pragma once

// The host application's loggers, made on first use and shared by every thread. Every one
// logs under the subsystem "io.tavix.nolu.host".

#include "platform/log/Log.h"

namespace brindlet::host {

inline constexpr const char* hostLogSubsystem = "io.tavix.nolu.host";

const platform::Logger& transportLog();  // category "transport"
const platform::Logger& sessionLog();    // category "session"
const platform::Logger& encoderLog();    // category "encoder"

}  // namespace brindlet::host

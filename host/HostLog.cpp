#include "host/HostLog.h"

namespace brindlet::host {

const platform::Logger& transportLog() {
  static const platform::Logger logger(hostLogSubsystem, "transport");
  return logger;
}

const platform::Logger& sessionLog() {
  static const platform::Logger logger(hostLogSubsystem, "session");
  return logger;
}

const platform::Logger& encoderLog() {
  static const platform::Logger logger(hostLogSubsystem, "encoder");
  return logger;
}

}  // namespace brindlet::host

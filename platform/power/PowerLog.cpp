#include "platform/power/PowerLog.h"

namespace brindlet::platform {

const Logger& powerLog() {
  static const Logger logger("io.tavix.nolu.host", "power");
  return logger;
}

}  // namespace brindlet::platform

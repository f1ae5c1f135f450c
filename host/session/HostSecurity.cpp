#include "host/session/HostSecurity.h"

namespace brindlet::host {

UUID loadHostID(platform::UserDefaults& defaults) {
  if (auto stored = defaults.string("hostID")) {
    if (auto id = UUID::parse(*stored)) return *id;
  }
  UUID id = UUID::random();
  defaults.set("hostID", id.uuidString());
  return id;
}

UUID loadHostID() { return loadHostID(platform::UserDefaults::standard()); }

const platform::Logger& transportLog() {
  static const platform::Logger logger("io.tavix.nolu.host", "transport");
  return logger;
}

const platform::Logger& sessionLog() {
  static const platform::Logger logger("io.tavix.nolu.host", "session");
  return logger;
}

const platform::Logger& encoderLog() {
  static const platform::Logger logger("io.tavix.nolu.host", "encoder");
  return logger;
}

}  // namespace brindlet::host

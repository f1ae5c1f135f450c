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

}  // namespace brindlet::host

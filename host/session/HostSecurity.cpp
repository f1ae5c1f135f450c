#include "host/session/HostSecurity.h"

#include "platform/log/Log.h"

namespace brindlet::host {

UUID loadHostID(platform::UserDefaults& defaults) {
  if (auto stored = defaults.string("hostID")) {
    if (auto id = UUID::parse(*stored)) return *id;
  }
  UUID id = UUID::random();
  // A stored value that is not a UUID is lost here: the log keeps what it was.
  if (auto previous = defaults.object("hostID"))
    platform::settingsLog().error("hostID %s in the settings is not a UUID; replaced by %s", previous->c_str(),
                                  id.uuidString().c_str());
  defaults.set("hostID", id.uuidString());
  return id;
}

}  // namespace brindlet::host

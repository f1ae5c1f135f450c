#pragma once

#include <memory>

#include "kit/pairing/SelfSignedIdentity.h"
#include "kit/support/UUID.h"
#include "platform/storage/UserDefaults.h"

namespace brindlet {
class HostPairingService;
}

namespace brindlet::host {

// The host's certificate identity and its pairing authority, made once by the security
// bootstrap and handed to the listener factory.
struct HostSecurity {
  std::shared_ptr<SelfSignedIdentity> identity;
  std::shared_ptr<HostPairingService> service;
};

// The number that names this computer to devices (Bonjour TXT "id", helloAck, pairing
// links): the UUID stored under "hostID" in the settings, made and stored (upper-case
// text) when there is none or the stored text is not a UUID. Never fails.
UUID loadHostID(platform::UserDefaults& defaults);

}  // namespace brindlet::host

#pragma once

// What a device keeps to reach each paired host through a relay: the relays to try and the join
// grant that host issued for this device, one configuration per host, all in one secret-store
// item as a JSON object keyed by the host's ID.
//
//   RelayConfigStore store(std::make_shared<KeychainSecretStore>("io.example.device", "relays"));
//   store.setRelayConfigForHost(RelayConfig{message.relays, message.grant}, hostID);
//   if (auto config = store.relayConfigForHost(hostID);
//       config && RelayConfigStore::relayConfigIsValid(*config, identity.publicKeyX963())) { ... }
//
// No operation fails: a store that cannot be read reads as empty, failed writes are ignored,
// entries that do not decode are dropped (and the item rewritten without them), and an item
// that is not a JSON object at all is deleted.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/Bytes.h"
#include "kit/protocol/RelayEndpoint.h"
#include "kit/support/UUID.h"

namespace brindlet {

class SecretStore;

struct RelayConfig {
  std::vector<RelayEndpoint> relays;
  Bytes grant;

  bool operator==(const RelayConfig&) const = default;
};

class RelayConfigStore {
 public:
  explicit RelayConfigStore(std::shared_ptr<SecretStore> store);

  std::optional<RelayConfig> relayConfigForHost(const UUID& host);
  // Replaces any earlier configuration of the host.
  void setRelayConfigForHost(const RelayConfig& config, const UUID& host);
  void removeRelayConfigForHost(const UUID& host);
  // Every host with its configuration; keys that are not host IDs are left out. In no order.
  std::vector<std::pair<UUID, RelayConfig>> allRelayConfigs();

  // 1 to 8 relays, each with a host and a port other than 0, and a grant that parses as a join
  // grant made for `devicePublicKey` (its signature and expiry are not checked here).
  static bool relayConfigIsValid(const RelayConfig& config, ByteView devicePublicKey);

 private:
  struct Entries;
  Entries load();
  void save(const Entries& entries);

  std::shared_ptr<SecretStore> store_;
  std::mutex lock_;  // every operation, the item's read and write included
};

}  // namespace brindlet

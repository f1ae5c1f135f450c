#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kit/pairing/SecretStore.h"
#include "base/Bytes.h"
#include "kit/support/UUID.h"
#include "kit/transport/DiscoveredHost.h"

namespace brindlet {

// A host this device has paired with; its fingerprint is the pin for every later connection.
struct PairedHost {
  UUID hostID;
  std::string name;
  Bytes fingerprint;  // SHA-256 of the host certificate, 32 bytes
  std::chrono::system_clock::time_point pairedAt;
  std::optional<std::chrono::system_clock::time_point> lastUsed;

  bool operator==(const PairedHost&) const = default;
};

// The device's list of paired hosts, kept as one JSON array in one secret slot. Every
// operation reads the slot afresh and holds the store's lock throughout; nothing throws:
// an unreadable or corrupt slot reads as an empty list, and a failed write keeps the old value.
class PairedHostStore {
 public:
  explicit PairedHostStore(std::shared_ptr<SecretStore> store);

  std::vector<PairedHost> allPairedHosts();
  std::optional<PairedHost> pairedHost(const UUID& hostID);
  // The stored host a discovered service stands for: by host ID when it advertises one,
  // else by exactly the same name.
  std::optional<PairedHost> pairedHost(const DiscoveredHost& discovered);
  // Replaces every host with the same ID by `host`, which goes to the end of the list.
  void upsertPairedHost(const PairedHost& host);
  // Keeps every host with another ID; writes the list even when nothing was removed.
  void removePairedHost(const UUID& hostID);
  // Sets the last-used date of the first host with that ID; an unknown ID writes nothing.
  void updatePairedHostDate(const UUID& hostID, std::chrono::system_clock::time_point date);

 private:
  std::vector<PairedHost> loadPairedHosts();
  void savePairedHosts(const std::vector<PairedHost>& hosts);

  std::shared_ptr<SecretStore> store_;
  std::mutex lock_;
};

}  // namespace brindlet

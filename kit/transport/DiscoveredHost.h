#pragma once

#include <functional>
#include <optional>
#include <string>

#include "kit/support/UUID.h"

namespace brindlet {

// A host a device can connect to, as a host browser lists it.
struct DiscoveredHost {
  // Stable key of the host while browsing; for a DNS-SD service: name + "." + type + "." + domain.
  std::string id;
  // The service name: the host's name, shown to the user.
  std::string name;
  // The host ID from the TXT key "id"; absent when the key is missing or not a UUID.
  std::optional<UUID> hostID;
  // False for every host found by browsing.
  bool viaRelay = false;

  bool operator==(const DiscoveredHost&) const = default;
};

}  // namespace brindlet

template <>
struct std::hash<brindlet::DiscoveredHost> {
  std::size_t operator()(const brindlet::DiscoveredHost& host) const noexcept {
    std::size_t h = std::hash<std::string>()(host.id);
    h = h * 31 + std::hash<std::string>()(host.name);
    h = h * 31 + (host.hostID ? std::hash<brindlet::UUID>()(*host.hostID) : 0);
    return h * 31 + (host.viaRelay ? 1 : 0);
  }
};

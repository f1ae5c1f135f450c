#pragma once

#include <string>
#include <vector>

namespace brindlet::platform {

enum class NetworkInterfaceType { wifi, wiredEthernet, cellular, loopback, other };

// "wifi", "wiredEthernet", "cellular", "loopback", "other".
const char* interfaceTypeName(NetworkInterfaceType type);

struct NetworkInterface {
  std::string name;  // e.g. "eth0"
  NetworkInterfaceType type = NetworkInterfaceType::other;
  int index = 0;

  friend bool operator==(const NetworkInterface&, const NetworkInterface&) = default;
};

// What the machine can reach the network through: the interfaces that are up, have a
// carrier and hold a usable address (IPv4, or IPv6 beyond link scope), sorted by name.
// Loopback does not count. The path is satisfied when there is at least one.
struct NetworkPath {
  bool satisfied = false;
  std::vector<NetworkInterface> availableInterfaces;

  friend bool operator==(const NetworkPath&, const NetworkPath&) = default;
};

}  // namespace brindlet::platform

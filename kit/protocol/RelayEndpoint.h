#pragma once

#include <cstdint>
#include <string>

namespace brindlet {

// Host and UDP port of a relay.
struct RelayEndpoint {
  std::string host;
  std::uint16_t port = 0;

  bool operator==(const RelayEndpoint&) const = default;
};

}  // namespace brindlet

#pragma once

#include <vector>

#include "base/Bytes.h"
#include "kit/protocol/RelayEndpoint.h"

namespace brindlet::host {

// What a device needs to reach this host from outside the local network: the relays and a
// join grant for its key.
struct RelayProvision {
  std::vector<RelayEndpoint> relays;
  Bytes grant;

  bool operator==(const RelayProvision&) const = default;
};

}  // namespace brindlet::host

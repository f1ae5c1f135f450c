#pragma once

#include <asio/awaitable.hpp>

#include <memory>
#include <vector>

#include "kit/support/AsyncStream.h"
#include "kit/transport/Connection.h"
#include "kit/transport/DiscoveredHost.h"
#include "kit/transport/QUICConfiguration.h"

namespace brindlet {

// How a device finds hosts and connects to one.
class HostBrowser {
 public:
  virtual ~HostBrowser() = default;

  // Begins browsing and watching the network path.
  virtual void start() = 0;
  // Each element is the complete, sorted list of hosts at that moment; ends at stop().
  virtual AsyncStream<std::vector<DiscoveredHost>> hosts() const = 0;
  // Connects to a host of the latest list; returns a ready connection.
  virtual asio::awaitable<std::shared_ptr<Connection>> connect(DiscoveredHost host, ServerTrust trust) = 0;
  // Stops browsing and watching and ends hosts().
  virtual void stop() = 0;
};

}  // namespace brindlet

#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/generic/raw_protocol.hpp>
#include <asio/strand.hpp>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "platform/net/NetworkPath.h"

namespace brindlet::platform {

// Watches the network path of this machine (its network namespace) over rtnetlink: links
// and addresses. The handler gets the current path once the monitor starts, then the new
// path each time it changes (an interface comes or goes, goes up or down, gains or loses an
// address). Calls come one at a time, in order, on the executor given; none once cancel()
// has returned.
class NetworkPathMonitor {
 public:
  using Handler = std::function<void(const NetworkPath&)>;

  NetworkPathMonitor(const asio::any_io_executor& executor, Handler handler);
  ~NetworkPathMonitor();
  NetworkPathMonitor(const NetworkPathMonitor&) = delete;
  NetworkPathMonitor& operator=(const NetworkPathMonitor&) = delete;

  // Throws std::system_error when the routing socket cannot be opened.
  void start();
  void cancel();  // safe more than once

  // Reads the path as it is now. Throws std::system_error when the kernel does not answer.
  static NetworkPath currentPath();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace brindlet::platform

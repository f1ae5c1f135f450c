#pragma once

#include <asio/awaitable.hpp>

namespace brindlet::host {

// Time as an app launch measures it: system uptime in seconds, and pauses.
class LaunchClock {
 public:
  virtual ~LaunchClock() = default;

  virtual double now() = 0;
  virtual asio::awaitable<void> sleep(double seconds) = 0;
};

}  // namespace brindlet::host

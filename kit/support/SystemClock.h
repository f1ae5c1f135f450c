#pragma once

// The production clock: continuous time is CLOCK_BOOTTIME, uptime CLOCK_MONOTONIC, wall time
// the system clock. sleep() is a timer on CLOCK_BOOTTIME on the caller's executor.
//
//   auto clock = SystemClock::shared();

#include "base/Clock.h"

#include <memory>

namespace brindlet {

class SystemClock final : public Clock {
 public:
  static std::shared_ptr<SystemClock> shared();

  Duration continuousNow() const override;
  Duration uptimeNow() const override;
  std::chrono::system_clock::time_point wallNow() const override;
  asio::awaitable<void> sleep(Duration duration) override;
};

}  // namespace brindlet

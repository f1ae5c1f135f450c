#pragma once

#include <chrono>
#include <memory>

#include "host/control/LaunchClock.h"
#include "base/Clock.h"

namespace brindlet::host {

// Launch time over the host's clock: uptime seconds, pauses on continuous time.
class SystemLaunchClock final : public LaunchClock {
 public:
  explicit SystemLaunchClock(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

  double now() override { return std::chrono::duration<double>(clock_->uptimeNow()).count(); }
  asio::awaitable<void> sleep(double seconds) override { return clock_->sleep(Clock::seconds(seconds)); }

 private:
  std::shared_ptr<Clock> clock_;
};

}  // namespace brindlet::host

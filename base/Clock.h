#pragma once

// The one source of time of the product: every "now", sleep and timer goes through a Clock,
// so tests drive time with a ManualClock instead of waiting for it.
//
//   std::shared_ptr<Clock> clock = SystemClock::shared();   // production; ManualClock in tests (kit/support)
//   co_await clock->sleep(std::chrono::milliseconds(200));   // cancellable (kit/support/Task.h)
//   auto started = clock->uptimeNow();
//   ... clock->uptimeNow() - started ...                     // elapsed time while awake
//
// Two monotonic readings: continuous time keeps counting while the machine sleeps (for
// time-outs and expiries that must include a sleep), uptime does not (for rates and
// durations of activity). wallNow() is calendar time, for dates that are stored or shown.
// sleep() waits for a span of continuous time; when the calling task is cancelled it throws
// asio::system_error(operation_aborted) at once.

#include <asio/awaitable.hpp>

#include <chrono>

namespace brindlet {

class Clock {
 public:
  using Duration = std::chrono::nanoseconds;

  // A span given in (fractional) seconds, as settings and intervals are.
  static Duration seconds(double value) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(value));
  }

  virtual ~Clock() = default;

  virtual Duration continuousNow() const = 0;
  virtual Duration uptimeNow() const = 0;
  virtual std::chrono::system_clock::time_point wallNow() const = 0;

  virtual asio::awaitable<void> sleep(Duration duration) = 0;
};

}  // namespace brindlet

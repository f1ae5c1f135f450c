#include "kit/support/SystemClock.h"

#include <asio/basic_waitable_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <time.h>

namespace brindlet {

namespace {

Clock::Duration readClock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// CLOCK_BOOTTIME as a clock type that Asio's timers can wait on.
struct BootTimeClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<BootTimeClock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept { return time_point(readClock(CLOCK_BOOTTIME)); }
};

}  // namespace

std::shared_ptr<SystemClock> SystemClock::shared() {
  static const auto clock = std::make_shared<SystemClock>();
  return clock;
}

Clock::Duration SystemClock::continuousNow() const { return readClock(CLOCK_BOOTTIME); }

Clock::Duration SystemClock::uptimeNow() const { return readClock(CLOCK_MONOTONIC); }

std::chrono::system_clock::time_point SystemClock::wallNow() const { return std::chrono::system_clock::now(); }

asio::awaitable<void> SystemClock::sleep(Duration duration) {
  asio::basic_waitable_timer<BootTimeClock> timer(co_await asio::this_coro::executor, duration);
  co_await timer.async_wait(asio::use_awaitable);
}

}  // namespace brindlet

#pragma once

// A clock that moves only when told to, for tests.
//
//   auto clock = std::make_shared<ManualClock>();
//   ... start the code under test with `clock`; it calls co_await clock->sleep(200ms) ...
//   clock->advance(std::chrono::milliseconds(199));   // the sleeper still waits
//   clock->advance(std::chrono::milliseconds(1));     // its deadline has come: it is resumed
//
// advance() moves continuous time, uptime and wall time together and resumes, earliest
// deadline first, every sleeper whose deadline has come. Resumed sleepers run when their
// executor runs (tests drive the io_context; see tests/support/TestLoop.h, whose advance()
// steps from deadline to deadline so a loop that sleeps again within the span runs each
// time). sleepThroughSystemSleep() moves continuous and wall time but not uptime, as a
// machine that sleeps. A cancelled sleeper is removed and throws operation_aborted.

#include "base/Clock.h"

#include <cstddef>
#include <memory>
#include <optional>

namespace brindlet {

class ManualClock final : public Clock {
 public:
  // Starts at continuous time and uptime `start`, at the wall time `wallStart`.
  explicit ManualClock(Duration start = std::chrono::hours(1),
                       std::chrono::system_clock::time_point wallStart =
                           std::chrono::system_clock::time_point(std::chrono::seconds(1'767'225'600)));
  ~ManualClock() override;

  Duration continuousNow() const override;
  Duration uptimeNow() const override;
  std::chrono::system_clock::time_point wallNow() const override;
  asio::awaitable<void> sleep(Duration duration) override;

  // Moves every time forward by `duration` (not negative) and wakes the sleepers due.
  void advance(Duration duration);
  // As advance(), to the continuous time `deadline` (no effect when it has passed).
  void advanceTo(Duration deadline);
  // Moves continuous and wall time, not uptime, and wakes the sleepers due.
  void sleepThroughSystemSleep(Duration duration);

  // How many coroutines are sleeping, and the earliest continuous time one of them waits for.
  std::size_t sleeperCount() const;
  std::optional<Duration> nextDeadline() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace brindlet

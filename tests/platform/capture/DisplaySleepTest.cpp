// The cached display-sleep state: readers see what the last refresh read, and the refreshes
// follow the clock.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "kit/support/Task.h"
#include "platform/screen/DisplayPower.h"
#include "support/TestLoop.h"

using namespace brindlet;
using namespace brindlet::platform;
using namespace brindlet::testing;
using namespace std::chrono_literals;

TEST(DisplaySleep, ReadersSeeTheLastRefreshAndRefreshesFollowTheClock) {
  TestLoop loop;
  std::optional<bool> server = false;  // what the server would answer now
  int questions = 0;
  auto sleep = std::make_shared<DisplaySleep>([&] {
    ++questions;
    return server;
  });
  EXPECT_EQ(sleep->asleep(), std::nullopt);  // nothing read yet
  Task refresh = Task::spawn(loop.strand(), DisplaySleep::follow(sleep, loop.clock));
  loop.settle();
  EXPECT_EQ(questions, 1);
  EXPECT_EQ(sleep->asleep(), false);

  // Each change of the server shows only at the next refresh, one interval later; reading
  // asks the server nothing.
  const std::optional<bool> changes[] = {true, std::nullopt, false, true};
  for (const auto& change : changes) {
    const std::optional<bool> before = sleep->asleep();
    server = change;
    loop.advance(DisplaySleep::refreshInterval - 1ms);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sleep->asleep(), before);
    loop.advance(1ms);
    EXPECT_EQ(sleep->asleep(), change);
  }
  EXPECT_EQ(questions, 5);

  refresh.cancel();
  loop.settle();
  EXPECT_FALSE(refresh.isRunning());
  server = false;
  loop.advance(10 * DisplaySleep::refreshInterval);
  EXPECT_EQ(questions, 5);
  EXPECT_EQ(sleep->asleep(), true);  // the last state read stays
}

#include <gtest/gtest.h>

#include "kit/support/SystemClock.h"
#include "kit/support/Task.h"
#include "support/TestLoop.h"

#include <string>
#include <vector>

namespace brindlet {
namespace {

using namespace std::chrono_literals;
using testing::TestLoop;

asio::awaitable<void> sleepThenNote(std::shared_ptr<Clock> clock, Clock::Duration d, std::string name,
                                    std::vector<std::string>* woke) {
  co_await clock->sleep(d);
  woke->push_back(name);
}

TEST(ManualClock, ASleeperWakesExactlyAtItsDeadline) {
  TestLoop loop;
  std::vector<std::string> woke;
  Task task = Task::spawn(loop.strand(), sleepThenNote(loop.clock, 200ms, "a", &woke));
  loop.settle();
  EXPECT_EQ(loop.clock->nextDeadline(), loop.clock->continuousNow() + 200ms);
  loop.clock->advance(199ms);
  loop.settle();
  EXPECT_TRUE(woke.empty());
  loop.clock->advance(1ms);
  loop.settle();
  EXPECT_EQ(woke, (std::vector<std::string>{"a"}));
  EXPECT_EQ(loop.clock->sleeperCount(), 0u);
}

TEST(ManualClock, SleepersWakeInDeadlineOrderEvenInOneStep) {
  TestLoop loop;
  std::vector<std::string> woke;
  std::vector<Task> tasks;
  tasks.push_back(Task::spawn(loop.strand(), sleepThenNote(loop.clock, 3s, "third", &woke)));
  tasks.push_back(Task::spawn(loop.strand(), sleepThenNote(loop.clock, 1s, "first", &woke)));
  tasks.push_back(Task::spawn(loop.strand(), sleepThenNote(loop.clock, 2s, "second", &woke)));
  tasks.push_back(Task::spawn(loop.strand(), sleepThenNote(loop.clock, 0s, "now", &woke)));
  tasks.push_back(Task::spawn(loop.strand(), sleepThenNote(loop.clock, -5s, "past", &woke)));
  loop.settle();
  EXPECT_EQ(woke, (std::vector<std::string>{"now", "past"}));
  loop.clock->advance(10s);
  loop.settle();
  EXPECT_EQ(woke, (std::vector<std::string>{"now", "past", "first", "second", "third"}));
}

asio::awaitable<void> every200ms(std::shared_ptr<Clock> clock, std::vector<Clock::Duration>* at) {
  for (;;) {
    co_await clock->sleep(200ms);
    at->push_back(clock->continuousNow());
  }
}

TEST(ManualClock, TestLoopAdvanceRunsAPeriodicLoopAtEachDeadline) {
  TestLoop loop;
  std::vector<Clock::Duration> at;
  auto start = loop.clock->continuousNow();
  Task task = Task::spawn(loop.strand(), every200ms(loop.clock, &at));
  loop.advance(1s);
  std::vector<Clock::Duration> expected;
  for (int i = 1; i <= 5; ++i) expected.push_back(start + i * 200ms);
  EXPECT_EQ(at, expected);
  EXPECT_EQ(loop.clock->continuousNow(), start + 1s);
}

TEST(ManualClock, SystemSleepMovesContinuousAndWallTimeButNotUptime) {
  TestLoop loop;
  auto continuous = loop.clock->continuousNow();
  auto uptime = loop.clock->uptimeNow();
  auto wall = loop.clock->wallNow();
  std::vector<std::string> woke;
  Task task = Task::spawn(loop.strand(), sleepThenNote(loop.clock, 30s, "timeout", &woke));
  loop.settle();
  loop.clock->sleepThroughSystemSleep(1h);
  loop.settle();
  EXPECT_EQ(loop.clock->continuousNow(), continuous + 1h);
  EXPECT_EQ(loop.clock->uptimeNow(), uptime);
  EXPECT_EQ(loop.clock->wallNow(), wall + 1h);
  EXPECT_EQ(woke, (std::vector<std::string>{"timeout"}));
  loop.clock->advance(1s);
  EXPECT_EQ(loop.clock->uptimeNow(), uptime + 1s);
}

TEST(SystemClock, ReadsBootTimeMonotonicTimeAndTheCalendar) {
  auto clock = SystemClock::shared();
  auto uptime = clock->uptimeNow();
  auto continuous = clock->continuousNow();
  EXPECT_GE(continuous, uptime);  // boot time includes every suspension, monotonic time none
  EXPECT_GE(clock->uptimeNow(), uptime);
  EXPECT_GE(clock->continuousNow(), continuous);
  auto wall = clock->wallNow() - std::chrono::system_clock::now();
  EXPECT_LT(std::chrono::abs(wall), 5s);
}

TEST(SystemClock, ASleepEndsAtOnceWhenItsTaskIsCancelled) {
  TestLoop loop;
  std::vector<std::string> woke;
  auto clock = SystemClock::shared();
  Task now = Task::spawn(loop.strand(), sleepThenNote(clock, 0s, "zero", &woke));
  Task task = Task::spawn(loop.strand(), sleepThenNote(clock, 1h, "hour", &woke));
  ASSERT_TRUE(loop.runUntil([&] { return !now.isRunning(); }));
  EXPECT_TRUE(task.isRunning());
  task.cancel();
  ASSERT_TRUE(loop.runUntil([&] { return !task.isRunning(); }));
  EXPECT_EQ(woke, (std::vector<std::string>{"zero"}));
}

}  // namespace
}  // namespace brindlet

#include <gtest/gtest.h>

#include "kit/support/Actor.h"
#include "kit/support/Task.h"
#include "platform/log/Log.h"
#include "support/TestLoop.h"

#include <asio/executor_work_guard.hpp>

#include <atomic>
#include <map>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace brindlet {
namespace {

using namespace std::chrono_literals;
using testing::TestLoop;

struct Progress {
  bool started = false;
  bool woke = false;
  bool unwound = false;
};

asio::awaitable<void> sleepLong(std::shared_ptr<Clock> clock, Progress* progress) {
  struct Unwound {
    ~Unwound() { progress->unwound = true; }
    Progress* progress;
  } mark{progress};
  progress->started = true;
  co_await clock->sleep(1h);
  progress->woke = true;
}

TEST(Task, CancelEndsASleepingTaskAndRemovesItsSleeper) {
  TestLoop loop;
  Progress progress;
  Task task = Task::spawn(loop.strand(), sleepLong(loop.clock, &progress));
  loop.settle();
  ASSERT_EQ(loop.clock->sleeperCount(), 1u);
  EXPECT_TRUE(task.isRunning());
  task.cancel();
  task.cancel();
  loop.settle();
  EXPECT_FALSE(task.isRunning());
  EXPECT_TRUE(progress.unwound);
  EXPECT_FALSE(progress.woke);
  EXPECT_EQ(loop.clock->sleeperCount(), 0u);
  task.cancel();  // after the end: no effect
  loop.settle();
}

struct SelfOwner {
  std::optional<Task> task;
  bool ranInsideSpawn = false;
  bool inSpawn = false;
};

// Ends its owner's wait at once, as an owner's task does when it has nothing to wait for.
asio::awaitable<void> dropOwnHandle(std::shared_ptr<SelfOwner> owner) {
  owner->ranInsideSpawn = owner->inSpawn;
  owner->task.reset();
  co_return;
}

TEST(Task, ABodySpawnedFromItsOwnStrandStartsOnlyAfterSpawnReturned) {
  TestLoop loop;
  auto owner = std::make_shared<SelfOwner>();
  asio::post(loop.strand(), [&] {
    owner->inSpawn = true;
    owner->task = Task::spawn(loop.strand(), dropOwnHandle(owner));
    owner->inSpawn = false;
  });
  loop.settle();
  EXPECT_FALSE(owner->ranInsideSpawn);
  // The body found its handle stored and dropped it; nothing is left behind.
  EXPECT_FALSE(owner->task.has_value());
}

TEST(Task, CancelBeforeTheFirstRunEndsTheTaskAtItsFirstWait) {
  TestLoop loop;
  Progress progress;
  Task task = Task::spawn(loop.strand(), sleepLong(loop.clock, &progress));
  task.cancel();
  loop.settle();
  EXPECT_TRUE(progress.started);
  EXPECT_FALSE(progress.woke);
  EXPECT_TRUE(progress.unwound);
  EXPECT_EQ(loop.clock->sleeperCount(), 0u);
}

TEST(Task, DroppingOrReplacingTheHandleCancelsTheTask) {
  TestLoop loop;
  Progress dropped, replaced, current;
  {
    Task task = Task::spawn(loop.strand(), sleepLong(loop.clock, &dropped));
    loop.settle();
  }
  Task task = Task::spawn(loop.strand(), sleepLong(loop.clock, &replaced));
  loop.settle();
  task = Task::spawn(loop.strand(), sleepLong(loop.clock, &current));
  loop.settle();
  EXPECT_TRUE(dropped.unwound);
  EXPECT_TRUE(replaced.unwound);
  EXPECT_FALSE(current.unwound);
  loop.advance(1h);
  EXPECT_TRUE(current.woke);
}

asio::awaitable<void> failing() {
  co_await asio::post(asio::use_awaitable);
  throw std::runtime_error("disk on fire");
}

TEST(Task, AnErrorThatEndsATaskIsLoggedACancellationIsNot) {
  std::vector<platform::LogRecord> records;
  auto previous = platform::setLogObserver([&](const platform::LogRecord& r) { records.push_back(r); });
  TestLoop loop;
  Progress progress;
  Task quiet = Task::spawn(loop.strand(), sleepLong(loop.clock, &progress));
  loop.settle();
  quiet.cancel();
  Task loud = Task::spawn(loop.strand(), failing());
  loop.settle();
  platform::setLogObserver(previous);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, platform::LogLevel::error);
  EXPECT_NE(records[0].message.find("disk on fire"), std::string::npos);
}

class Counter : public Actor {
 public:
  Counter(const Executor& executor, std::shared_ptr<Clock> clock) : Actor(executor), clock_(std::move(clock)) {}

  asio::awaitable<int> add(int n) { return isolated(addIsolated(n)); }
  asio::awaitable<int> addLater(int n) { return isolated(addLaterIsolated(n)); }
  asio::awaitable<int> fail() { return isolated(failIsolated()); }
  int total() const { return total_; }
  bool sawForeignThread() const { return foreign_; }

 private:
  asio::awaitable<int> addIsolated(int n) {
    if (!isIsolated()) foreign_ = true;
    total_ += n;
    co_return total_;
  }
  asio::awaitable<int> addLaterIsolated(int n) {
    co_await clock_->sleep(1s);
    co_return co_await addIsolated(n);
  }
  asio::awaitable<int> failIsolated() {
    throw std::invalid_argument("no such display");
    co_return 0;
  }

  std::shared_ptr<Clock> clock_;
  int total_ = 0;
  bool foreign_ = false;
};

asio::awaitable<void> callActor(Counter* counter, std::vector<std::string>* log) {
  int total = co_await counter->add(2);
  log->push_back("total " + std::to_string(total));
  try {
    co_await counter->fail();
  } catch (const std::invalid_argument& e) {
    log->push_back(e.what());
  }
  total = co_await counter->addLater(3);
  log->push_back("later " + std::to_string(total));
}

TEST(Actor, OperationsRunOnTheActorsStrandAndReturnResultsAndErrors) {
  TestLoop loop;
  Counter counter(loop.io.get_executor(), loop.clock);
  std::vector<std::string> log;
  Task task = Task::spawn(loop.strand(), callActor(&counter, &log));
  loop.settle();
  EXPECT_EQ(log, (std::vector<std::string>{"total 2", "no such display"}));
  loop.advance(1s);
  EXPECT_EQ(log, (std::vector<std::string>{"total 2", "no such display", "later 5"}));
  EXPECT_FALSE(task.isRunning());
  EXPECT_FALSE(counter.sawForeignThread());
}

TEST(Actor, CancellingTheCallerCancelsTheOperationOnTheActor) {
  TestLoop loop;
  Counter counter(loop.io.get_executor(), loop.clock);
  std::vector<std::string> log;
  Task task = Task::spawn(loop.strand(), callActor(&counter, &log));
  loop.settle();
  ASSERT_EQ(loop.clock->sleeperCount(), 1u);  // addLater sleeps on the actor's strand
  task.cancel();
  loop.settle();
  EXPECT_EQ(loop.clock->sleeperCount(), 0u);
  EXPECT_FALSE(task.isRunning());
  loop.advance(2s);
  EXPECT_EQ(counter.total(), 2);
  EXPECT_EQ(log.size(), 2u);
}

asio::awaitable<void> addMany(Counter* counter, int times, std::atomic<int>* finished) {
  for (int i = 0; i < times; ++i) co_await counter->add(1);
  finished->fetch_add(1);
}

TEST(Actor, SerialisesCallersFromManyThreads) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&io] { io.run(); });
  auto clock = std::make_shared<ManualClock>();
  Counter counter(io.get_executor(), clock);
  constexpr int callers = 8, times = 500;
  std::atomic<int> finished{0};
  std::vector<Task> tasks;
  for (int c = 0; c < callers; ++c)
    tasks.push_back(Task::spawn(makeStrand(io.get_executor()), addMany(&counter, times, &finished)));
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (finished < callers && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
  ASSERT_EQ(finished.load(), callers);
  int total = 0;
  Task read = Task::spawn(counter.strand(), [](Counter* c, int* out, std::atomic<int>* f) -> asio::awaitable<void> {
    *out = c->total();
    f->fetch_add(1);
    co_return;
  }(&counter, &total, &finished));
  while (finished < callers + 1 && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
  EXPECT_EQ(total, callers * times);
  EXPECT_FALSE(counter.sawForeignThread());
  tasks.clear();
  work.reset();
  for (auto& t : threads) t.join();
}

struct Ticks {
  std::map<std::uint64_t, int> byGeneration;
};

asio::awaitable<void> tick(SupervisedTask* supervisor, std::uint64_t generation, std::shared_ptr<Clock> clock,
                           Ticks* ticks) {
  for (;;) {
    co_await clock->sleep(1s);
    if (!supervisor->isCurrent(generation)) co_return;
    ++ticks->byGeneration[generation];
  }
}

TEST(SupervisedTask, ARestartSupersedesTheRunningLoop) {
  TestLoop loop;
  SupervisedTask supervisor;
  Ticks ticks;
  auto strand = loop.strand();
  auto start = [&] {
    return supervisor.restart(strand, [&](std::uint64_t g) { return tick(&supervisor, g, loop.clock, &ticks); });
  };
  EXPECT_EQ(start(), 1u);
  loop.advance(2s);
  EXPECT_EQ(start(), 2u);
  EXPECT_TRUE(supervisor.isCurrent(2));
  EXPECT_FALSE(supervisor.isCurrent(1));
  loop.advance(3s);
  EXPECT_EQ(ticks.byGeneration[1], 2);
  EXPECT_EQ(ticks.byGeneration[2], 3);
  EXPECT_EQ(loop.clock->sleeperCount(), 1u);

  supervisor.stop();
  loop.advance(3s);
  EXPECT_EQ(ticks.byGeneration[2], 3);
  EXPECT_FALSE(supervisor.isRunning());
  EXPECT_EQ(supervisor.generation(), 3u);
}

}  // namespace
}  // namespace brindlet

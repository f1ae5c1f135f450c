#include <gtest/gtest.h>

#include "kit/support/Task.h"
#include "kit/transport/AsyncQueue.h"
#include "support/TestLoop.h"

#include <asio/executor_work_guard.hpp>

#include <atomic>
#include <thread>
#include <vector>

namespace brindlet {
namespace {

using testing::TestLoop;

struct Taken {
  std::vector<int> items;
  bool ended = false;
};

asio::awaitable<void> drain(AsyncQueue<int> queue, Taken* taken) {
  while (auto item = co_await queue.next()) taken->items.push_back(*item);
  taken->ended = true;
}

TEST(AsyncQueue, HandsItemsOutInPushOrderAndEndsAfterTheBufferedOnes) {
  TestLoop loop;
  AsyncQueue<int> queue;
  queue.push(1);
  queue.push(2);
  EXPECT_EQ(queue.count(), 2u);
  Taken taken;
  Task task = Task::spawn(loop.strand(), drain(queue, &taken));
  loop.settle();
  queue.push(3);  // to the waiting consumer directly
  EXPECT_EQ(queue.count(), 0u);
  loop.settle();
  EXPECT_EQ(taken.items, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(taken.ended);
  task.cancel();  // the waiting consumer receives the end
  loop.settle();
  EXPECT_TRUE(taken.ended);

  queue.push(4);
  queue.push(5);
  queue.finish();
  queue.push(6);  // discarded
  Taken rest;
  Task again = Task::spawn(loop.strand(), drain(queue, &rest));
  loop.settle();
  EXPECT_EQ(rest.items, (std::vector<int>{4, 5}));
  EXPECT_TRUE(rest.ended);
}

// A push and a cancellation aimed at a waiting consumer at the same moment, from two
// threads, on an io_context with several threads: the consumer always ends, and the item is
// either the one it took or still in the queue, never lost.
TEST(AsyncQueue, APushRacingACancellationIsNeitherLostNorLeftWaiting) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&io] { io.run(); });

  // `finished` is the last thing the consumer touches: the test's round ends only then.
  auto takeOne = [](AsyncQueue<int> queue, std::atomic<int>* result,
                    std::atomic<bool>* finished) -> asio::awaitable<void> {
    struct Settle {
      ~Settle() {
        if (result->load() == -2) result->store(-1);
        finished->store(true);
      }
      std::atomic<int>* result;
      std::atomic<bool>* finished;
    } settle{result, finished};
    auto item = co_await queue.next();
    result->store(item ? *item : -1);
  };
  constexpr int rounds = 300;
  int delivered = 0, kept = 0;
  for (int round = 0; round < rounds; ++round) {
    AsyncQueue<int> queue;
    std::atomic<int> result{-2};  // -2 running, -1 ended without an item
    std::atomic<bool> finished{false};
    Task task = Task::spawn(makeStrand(io.get_executor()), takeOne(queue, &result, &finished));
    // Let the consumer park in most rounds, not in all.
    for (int spin = 0; spin < (round % 5) * 200; ++spin) std::this_thread::yield();
    std::atomic<bool> go{false};
    std::thread pusher([&] {
      while (!go) std::this_thread::yield();
      queue.push(round);
    });
    std::thread canceller([&] {
      while (!go) std::this_thread::yield();
      task.cancel();
    });
    go = true;
    pusher.join();
    canceller.join();
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!finished && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
    ASSERT_TRUE(finished) << "consumer still waiting in round " << round;
    if (result == round) {
      ++delivered;
      EXPECT_EQ(queue.count(), 0u);
    } else {
      ++kept;
      EXPECT_EQ(queue.count(), 1u) << "item lost in round " << round;
    }
  }
  EXPECT_EQ(delivered + kept, rounds);
  work.reset();
  for (auto& t : threads) t.join();
}

}  // namespace
}  // namespace brindlet

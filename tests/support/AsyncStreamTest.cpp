#include <gtest/gtest.h>

#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"
#include "support/TestLoop.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace brindlet {
namespace {

using testing::TestLoop;

struct Reader {
  std::vector<int> values;
  bool ended = false;
};

// Reads until the stream ends, then notes the end.
asio::awaitable<void> readAll(AsyncStream<int> stream, Reader* reader) {
  while (auto value = co_await stream.next()) reader->values.push_back(*value);
  reader->ended = true;
}

TEST(AsyncStream, KeepsOrderWhetherBufferedOrHandedToTheWaitingReader) {
  TestLoop loop;
  AsyncStream<int> stream;
  Reader reader;
  EXPECT_TRUE(stream.yield(1));
  EXPECT_TRUE(stream.yield(2));
  EXPECT_EQ(stream.count(), 2u);
  Task task = Task::spawn(loop.strand(), readAll(stream, &reader));
  loop.settle();
  EXPECT_EQ(reader.values, (std::vector<int>{1, 2}));
  EXPECT_FALSE(reader.ended);  // waits on the empty stream

  stream.yield(3);  // straight to the waiting reader, never counted
  EXPECT_EQ(stream.count(), 0u);
  stream.yield(4);
  loop.settle();
  EXPECT_EQ(reader.values, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_FALSE(reader.ended);

  stream.finish();
  loop.settle();
  EXPECT_TRUE(reader.ended);
  EXPECT_FALSE(task.isRunning());
}

TEST(AsyncStream, FinishDeliversWhatIsBufferedThenEndsAndDropsLaterValues) {
  TestLoop loop;
  AsyncStream<int> stream;
  stream.yield(7);
  stream.yield(8);
  stream.finish();
  stream.finish();  // a second finish changes nothing
  EXPECT_FALSE(stream.yield(9));
  EXPECT_TRUE(stream.isFinished());
  Reader reader;
  Task task = Task::spawn(loop.strand(), readAll(stream, &reader));
  loop.settle();
  EXPECT_EQ(reader.values, (std::vector<int>{7, 8}));
  EXPECT_TRUE(reader.ended);

  Reader late;  // next() on a finished, drained stream ends at once
  Task again = Task::spawn(loop.strand(), readAll(stream, &late));
  loop.settle();
  EXPECT_TRUE(late.values.empty());
  EXPECT_TRUE(late.ended);
}

// A waiting reader ends at once when the stream finishes (from another thread) or when its
// task is cancelled; a cancelled reader leaves the stream open for a later reader.
TEST(AsyncStream, AWaitingReaderEndsAtOnceOnFinishOrCancellation) {
  for (bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancel" : "finish");
    TestLoop loop;
    AsyncStream<int> stream;
    Reader reader;
    Task task = Task::spawn(loop.strand(), readAll(stream, &reader));
    loop.settle();
    ASSERT_FALSE(reader.ended);
    if (cancel) {
      task.cancel();
    } else {
      std::thread([stream] { stream.finish(); }).join();
    }
    loop.settle();
    EXPECT_TRUE(reader.ended);  // next() gave the end, the code after the loop ran
    EXPECT_FALSE(task.isRunning());

    stream.yield(5);
    Reader next;
    Task other = Task::spawn(loop.strand(), readAll(stream, &next));
    loop.settle();
    EXPECT_EQ(next.values, cancel ? std::vector<int>{5} : std::vector<int>{});
  }
}

TEST(AsyncStream, CancellationRightAfterSpawnEndsTheReader) {
  TestLoop loop;
  AsyncStream<int> stream;
  Reader reader;
  Task task = Task::spawn(loop.strand(), readAll(stream, &reader));
  task.cancel();
  loop.settle();
  EXPECT_FALSE(task.isRunning());
  EXPECT_TRUE(reader.values.empty());
}

TEST(AsyncStream, ASecondReaderThatWouldWaitGetsTheEnd) {
  TestLoop loop;
  AsyncStream<int> stream;
  Reader first, second;
  Task a = Task::spawn(loop.strand(), readAll(stream, &first));
  loop.settle();
  Task b = Task::spawn(loop.strand(), readAll(stream, &second));
  loop.settle();
  EXPECT_TRUE(second.ended);
  EXPECT_FALSE(first.ended);
  stream.yield(1);
  loop.settle();
  EXPECT_EQ(first.values, (std::vector<int>{1}));
}

// Several io_context threads: cancellations, values and the reader's waits meet at every
// possible moment. Every reader must end, and the values it took must be in order.
TEST(AsyncStream, CancellationAtAnyMomentEndsTheWaitOnAThreadPool) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&io] { io.run(); });

  constexpr int rounds = 400;
  for (int round = 0; round < rounds; ++round) {
    AsyncStream<int> stream;
    auto reader = std::make_shared<Reader>();
    std::atomic<bool> ended{false};
    auto body = [](AsyncStream<int> s, std::shared_ptr<Reader> r, std::atomic<bool>* done) -> asio::awaitable<void> {
      struct Done {
        ~Done() { done->store(true); }
        std::atomic<bool>* done;
      } mark{done};
      while (auto value = co_await s.next()) r->values.push_back(*value);
    };
    Task task = Task::spawn(makeStrand(io.get_executor()), body(stream, reader, &ended));
    std::thread producer([stream, round] {
      for (int v = 0; v < round % 7; ++v) stream.yield(v);
    });
    for (int spin = 0; spin < (round * 37) % 500; ++spin) std::this_thread::yield();
    task.cancel();
    producer.join();
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ended && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
    ASSERT_TRUE(ended) << "reader still waiting after cancellation in round " << round;
    for (std::size_t i = 0; i < reader->values.size(); ++i) EXPECT_EQ(reader->values[i], int(i));
  }
  work.reset();
  for (auto& t : threads) t.join();
}

// A producer on a thread of the reader's context whose turn goes on after it yields: by
// default the waiting reader gets the value once that turn has ended, on the same thread. A
// reader that runs at once takes it inside yield(), on the producer's thread, when its strand
// is free; when another thread holds its strand, that thread takes it up meanwhile.
TEST(AsyncStream, AReaderThatRunsAtOnceIsNotHeldUpByTheProducersTurn) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) threads.emplace_back([&io] { io.run(); });
  auto waitFor = [](const std::atomic<bool>& flag, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!flag && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    return flag.load();
  };

  enum class Mode { afterTurn, atOnce, atOnceStrandBusy };
  for (Mode mode : {Mode::afterTurn, Mode::atOnce, Mode::atOnceStrandBusy}) {
    SCOPED_TRACE(mode == Mode::afterTurn ? "after the producer's turn"
                 : mode == Mode::atOnce  ? "at once"
                                         : "at once, strand busy");
    AsyncStream<int> stream;
    if (mode != Mode::afterTurn) stream.resumeConsumerAtOnce();
    std::atomic<int> last{0};
    std::atomic<bool> first{false}, parked{false}, second{false};
    std::atomic<std::thread::id> secondOn{};
    auto body = [](AsyncStream<int> s, std::atomic<int>* seen, std::atomic<bool>* firstSeen,
                   std::atomic<bool>* secondSeen, std::atomic<std::thread::id>* secondThread) -> asio::awaitable<void> {
      while (auto value = co_await s.next()) {
        seen->store(*value);
        if (*value == 2) secondThread->store(std::this_thread::get_id());
        (*value == 1 ? firstSeen : secondSeen)->store(true);
      }
    };
    const Strand readerStrand = makeStrand(io.get_executor());
    Task task = Task::spawn(readerStrand, body(stream, &last, &first, &second, &secondOn));
    stream.yield(1);
    ASSERT_TRUE(waitFor(first, std::chrono::seconds(5)));
    // Queued behind the reader's turn that took 1: once it runs, the reader waits on next().
    std::atomic<bool> release{false}, held{false};
    asio::post(readerStrand, [&] {
      parked = true;
      if (mode != Mode::atOnceStrandBusy) return;
      held = true;
      waitFor(release, std::chrono::seconds(10));
    });
    ASSERT_TRUE(waitFor(parked, std::chrono::seconds(5)));

    std::atomic<bool> turnOver{false}, readInsideYield{false}, readDuringTurn{false};
    std::atomic<std::thread::id> producerOn{};
    asio::post(io, [&] {
      producerOn = std::this_thread::get_id();
      stream.yield(2);
      readInsideYield = second.load();
      release = true;
      readDuringTurn = waitFor(second, mode != Mode::afterTurn ? std::chrono::milliseconds(5000)
                                                                : std::chrono::milliseconds(50));
      turnOver = true;
    });
    ASSERT_TRUE(waitFor(turnOver, std::chrono::seconds(10)));
    EXPECT_EQ(readInsideYield.load(), mode == Mode::atOnce);
    EXPECT_EQ(readDuringTurn.load(), mode != Mode::afterTurn);
    EXPECT_TRUE(waitFor(second, std::chrono::seconds(5))) << "read once the turn is over";
    EXPECT_EQ(secondOn.load() == producerOn.load(), mode != Mode::atOnceStrandBusy);
    EXPECT_EQ(held.load(), mode == Mode::atOnceStrandBusy);
    EXPECT_EQ(last.load(), 2);
    stream.finish();
  }
  work.reset();
  for (auto& t : threads) t.join();
}

TEST(AsyncStream, ConcurrentProducersKeepTheirOwnOrder) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([&io] { io.run(); });

  AsyncStream<int> stream;
  Reader reader;
  std::atomic<bool> ended{false};
  auto body = [](AsyncStream<int> s, Reader* r, std::atomic<bool>* done) -> asio::awaitable<void> {
    while (auto value = co_await s.next()) r->values.push_back(*value);
    r->ended = true;
    done->store(true);
  };
  Task task = Task::spawn(makeStrand(io.get_executor()), body(stream, &reader, &ended));
  constexpr int producers = 4, each = 2000;
  std::vector<std::thread> senders;
  for (int p = 0; p < producers; ++p) {
    senders.emplace_back([stream, p] {
      for (int i = 0; i < each; ++i) stream.yield(p * each + i);
    });
  }
  for (auto& s : senders) s.join();
  stream.finish();
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ended && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
  ASSERT_TRUE(ended);
  ASSERT_EQ(reader.values.size(), std::size_t(producers * each));
  std::vector<int> last(producers, -1);
  for (int v : reader.values) {
    EXPECT_GT(v, last[v / each]);
    last[v / each] = v;
  }
  work.reset();
  for (auto& t : threads) t.join();
}

}  // namespace
}  // namespace brindlet

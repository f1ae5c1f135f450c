#pragma once

// Drives coroutines deterministically in tests: one io_context run on the test's thread and a
// ManualClock.
//
//   TestLoop loop;
//   Task task = Task::spawn(loop.strand(), pollEvery2s(loop.clock));
//   loop.settle();                                   // runs everything that is ready
//   loop.advance(std::chrono::seconds(6));           // three wake-ups, each one run
//   ASSERT_TRUE(loop.runUntil([&] { return done; })); // for work finished on other threads
//
// Nothing here waits for a product timer: time moves only through advance(). runUntil()'s
// real-time guard only bounds a test that would otherwise hang.

#include "base/Executor.h"
#include "kit/support/ManualClock.h"

#include <asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace brindlet::testing {

class TestLoop {
 public:
  asio::io_context io;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();

  // Declare the loop before the tasks of a test: their handles cancel them when the test
  // ends, and this runs those cancellations, so no coroutine is left suspended.
  ~TestLoop() { settle(); }

  Strand strand() { return makeStrand(io.get_executor()); }

  // Runs handlers until none is ready.
  void settle() {
    do {
      io.restart();
    } while (io.poll() > 0);
  }

  // Runs handlers until `condition` holds; false when it still does not after `guard` of
  // real time (work may come from other threads meanwhile).
  bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds guard = std::chrono::seconds(10)) {
    auto giveUp = std::chrono::steady_clock::now() + guard;
    for (;;) {
      settle();
      if (condition()) return true;
      if (std::chrono::steady_clock::now() > giveUp) return false;
      std::this_thread::yield();
    }
  }

  // Moves the clock forward by `duration`, stopping at every sleeper's deadline on the way
  // and running what that wakes, so loops that sleep again inside the span run each time.
  void advance(Clock::Duration duration) {
    settle();
    auto target = clock->continuousNow() + duration;
    for (;;) {
      auto next = clock->nextDeadline();
      if (!next || *next > target) break;
      clock->advanceTo(*next);
      settle();
    }
    clock->advanceTo(target);
    settle();
  }
};

}  // namespace brindlet::testing

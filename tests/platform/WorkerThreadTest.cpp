// The one stop protocol of the platform layer's threads.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

#include "platform/support/WorkerThread.h"

using namespace brindlet::platform;

// A wait the token cannot see (a poll) ends through the wake; stop() returns only once the
// body has returned.
TEST(WorkerThread, StopWakesABlockedWaitAndJoins) {
  int fd = eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::atomic<bool> finished = false;
  std::atomic<int> wakes = 0;
  std::promise<void> waiting;
  WorkerThread thread(
      [&](std::stop_token stop) {
        waiting.set_value();
        while (!stop.stop_requested()) {
          pollfd p{fd, POLLIN, 0};
          poll(&p, 1, -1);
        }
        finished = true;
      },
      [&] {
        ++wakes;
        uint64_t one = 1;
        (void)!write(fd, &one, sizeof one);
      });
  waiting.get_future().wait();
  EXPECT_TRUE(thread.isRunning());
  thread.stop();
  EXPECT_TRUE(finished);
  EXPECT_FALSE(thread.isRunning());
  thread.stop();  // once stopped, no effect
  EXPECT_EQ(wakes, 1);
  close(fd);
}

// A condition_variable_any wait given the token ends without any wake; dropping the thread
// stops it.
TEST(WorkerThread, DroppingEndsAWaitOnTheToken) {
  std::mutex mutex;
  std::condition_variable_any never;
  std::atomic<bool> finished = false;
  {
    WorkerThread thread([&](std::stop_token stop) {
      std::unique_lock lock(mutex);
      EXPECT_FALSE(never.wait(lock, stop, [] { return false; }));
      finished = true;
    });
  }
  EXPECT_TRUE(finished);
}

// A body that stops its own thread (from a handler it calls) is not joined by itself: it
// runs on to its end.
TEST(WorkerThread, StoppedFromItsOwnThreadItFinishesByItself) {
  WorkerThread thread;
  std::promise<void> started, stopped;
  // Shared: the thread touches it last, after the test may have seen it set.
  auto finished = std::make_shared<std::promise<void>>();
  std::atomic<bool> sawStop = false;
  thread = WorkerThread([&, finished](std::stop_token stop) {
    started.get_future().wait();
    thread.stop();
    sawStop = stop.stop_requested();
    stopped.set_value();
    finished->set_value();
  });
  auto done = finished->get_future();
  started.set_value();
  stopped.get_future().wait();
  EXPECT_TRUE(sawStop);
  EXPECT_FALSE(thread.isRunning());
  done.wait();
}

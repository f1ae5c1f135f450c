// Waiting for a process to end: the wait ends when the process does, not before, and at once
// for a process that is gone.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "platform/apps/ProcessExit.h"

namespace brindlet::platform {
namespace {

using namespace std::chrono_literals;

TEST(ProcessExit, AWaitEndsWhenTheProcessEndsAndAtOnceForOneGone) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread runner([&] { io.run(); });

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::usleep(400 * 1000);
    ::_exit(0);
  }
  auto ended = asio::co_spawn(io, waitForProcessExit(child), asio::use_future);
  EXPECT_EQ(ended.wait_for(100ms), std::future_status::timeout) << "the process still runs";
  ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(ended.get());  // ended as a zombie, before anyone reaped it

  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  for (std::int32_t gone : {static_cast<std::int32_t>(child), 0, -1}) {
    auto again = asio::co_spawn(io, waitForProcessExit(gone), asio::use_future);
    ASSERT_EQ(again.wait_for(5s), std::future_status::ready) << gone;
    EXPECT_TRUE(again.get()) << gone;
  }

  work.reset();
  runner.join();
}

}  // namespace
}  // namespace brindlet::platform

#include "platform/apps/ProcessExit.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace brindlet::platform {

asio::awaitable<bool> waitForProcessExit(std::int32_t pid) {
  if (pid < 1) co_return true;
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u));
  if (fd < 0) co_return errno == ESRCH;
  // The descriptor becomes readable when the process ends; the stream owns and closes it.
  asio::posix::stream_descriptor descriptor(co_await asio::this_coro::executor, fd);
  co_await descriptor.async_wait(asio::posix::descriptor_base::wait_read, asio::use_awaitable);
  co_return true;
}

}  // namespace brindlet::platform

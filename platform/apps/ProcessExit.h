#pragma once
// Waiting for another process to end, without polling: a pidfd of the process, waited on
// through Asio on the caller's executor.

#include <cstdint>

#include <asio/awaitable.hpp>

namespace brindlet::platform {

// Returns once the process `pid` has ended (a zombie has ended): true at once when it is
// already gone, false at once when it cannot be watched (a kernel without pidfd, or no
// permission), when processAlive is the only answer left. Cancellable.
asio::awaitable<bool> waitForProcessExit(std::int32_t pid);

}  // namespace brindlet::platform

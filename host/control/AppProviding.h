#pragma once

#include <cstdint>
#include <vector>

#include "host/capture/ChangeBroadcaster.h"
#include "kit/protocol/DesktopRecords.h"
#include "kit/support/AsyncStream.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

// The running apps of this computer with their windows, and the order they were last used in.
class AppProviding {
 public:
  virtual ~AppProviding() = default;

  virtual asio::awaitable<std::vector<AppInfo>> snapshot() = 0;
  // One element whenever the running apps or their windows changed.
  virtual AsyncStream<Change> changes() = 0;
  // Process IDs, most recently used first.
  virtual asio::awaitable<std::vector<std::int32_t>> recentPIDs() = 0;
  virtual AsyncStream<Change> recentChanges() = 0;
  // The process whose window is active; 0 when no window is.
  virtual std::int32_t frontmostPID() = 0;
};

}  // namespace brindlet::host

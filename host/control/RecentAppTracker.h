#pragma once
// The order in which apps were last used, most recent first: seeded from the windows on
// screen (front to back, the app in front first), then moved on by activations and process
// ends. Readers take a copy; a change of the order is announced, debounced, to subscribers.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/capture/ChangeBroadcaster.h"
#include "kit/support/AsyncStream.h"

namespace brindlet::host {

struct RecentAppEvent {
  enum class Kind { activated, terminated };
  Kind kind;
  std::int32_t pid;
};

// The pids of `pids` that are at least 1, in first-seen order, each once.
std::vector<std::int32_t> uniquePIDs(const std::vector<std::int32_t>& pids);

// The first order: the owners of on-screen normal-layer windows front to back, made unique,
// with `frontmostPID` (when at least 1) moved to the front.
std::vector<std::int32_t> seedRecentPIDs(const std::vector<std::int32_t>& frontToBackOwners, std::int32_t frontmostPID);

class RecentAppTracker {
 public:
  RecentAppTracker(const Executor& executor, std::shared_ptr<Clock> clock, std::vector<std::int32_t> seed,
                   Clock::Duration debounce = std::chrono::milliseconds(150));

  // Applies the event and announces a change of the order. Any thread.
  void handle(RecentAppEvent event);

  std::vector<std::int32_t> pids();
  AsyncStream<Change> changes() { return broadcaster_->changes(); }

 private:
  // Changes the order, under the lock; true when it changed.
  bool apply(RecentAppEvent event);

  std::mutex lock_;
  std::vector<std::int32_t> pids_;
  std::shared_ptr<ChangeBroadcaster> broadcaster_;
};

}  // namespace brindlet::host

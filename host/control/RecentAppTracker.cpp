#include "host/control/RecentAppTracker.h"

#include <algorithm>

namespace brindlet::host {

std::vector<std::int32_t> uniquePIDs(const std::vector<std::int32_t>& pids) {
  std::vector<std::int32_t> unique;
  for (std::int32_t pid : pids) {
    if (pid >= 1 && std::find(unique.begin(), unique.end(), pid) == unique.end()) unique.push_back(pid);
  }
  return unique;
}

std::vector<std::int32_t> seedRecentPIDs(const std::vector<std::int32_t>& frontToBackOwners,
                                         std::int32_t frontmostPID) {
  auto pids = uniquePIDs(frontToBackOwners);
  if (frontmostPID >= 1) {
    std::erase(pids, frontmostPID);
    pids.insert(pids.begin(), frontmostPID);
  }
  return pids;
}

RecentAppTracker::RecentAppTracker(const Executor& executor, std::shared_ptr<Clock> clock,
                                   std::vector<std::int32_t> seed, Clock::Duration debounce)
    : pids_(uniquePIDs(seed)), broadcaster_(ChangeBroadcaster::make(executor, std::move(clock), debounce)) {}

void RecentAppTracker::handle(RecentAppEvent event) {
  bool changed = false;
  {
    std::lock_guard guard(lock_);
    changed = apply(event);
  }
  if (changed) broadcaster_->notify();
}

bool RecentAppTracker::apply(RecentAppEvent event) {
  const std::int32_t pid = event.pid;
  if (event.kind == RecentAppEvent::Kind::activated) {
    if (pid < 1 || (!pids_.empty() && pids_.front() == pid)) return false;
    std::erase(pids_, pid);
    pids_.insert(pids_.begin(), pid);
    return true;
  }
  if (std::find(pids_.begin(), pids_.end(), pid) == pids_.end()) return false;
  std::erase(pids_, pid);
  return true;
}

std::vector<std::int32_t> RecentAppTracker::pids() {
  std::lock_guard guard(lock_);
  return pids_;
}

}  // namespace brindlet::host

#include "host/control/FitRestoreRegistry.h"

#include <vector>

namespace brindlet::host {

void FitRestoreRegistry::add(const UUID& id, Restore restore) {
  std::lock_guard guard(lock_);
  entries_[id] = std::move(restore);
}

bool FitRestoreRegistry::remove(const UUID& id) {
  std::lock_guard guard(lock_);
  return entries_.erase(id) > 0;
}

void FitRestoreRegistry::restoreAll() {
  std::vector<Restore> actions;
  {
    std::lock_guard guard(lock_);
    for (auto& [id, restore] : entries_) actions.push_back(std::move(restore));
    entries_.clear();
  }
  for (auto& restore : actions) {
    if (restore) restore();
  }
}

std::size_t FitRestoreRegistry::count() {
  std::lock_guard guard(lock_);
  return entries_.size();
}

}  // namespace brindlet::host

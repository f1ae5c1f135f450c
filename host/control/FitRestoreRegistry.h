#pragma once
// One restore action per window that fit mode resized, for the whole process: every window
// still fitted when the host exits gets back the frame it had before the fit. A session adds
// an entry when it fits a window and takes it out when it restores or forgets the window.
//
//   UUID id = UUID::random();
//   registry->add(id, [=] { ... put the window back ... });
//   registry->remove(id);       // restored by the session: the action is dropped unrun
//   registry->restoreAll();     // at exit: runs every action left, once

#include <functional>
#include <map>
#include <mutex>

#include "kit/support/UUID.h"

namespace brindlet::host {

class FitRestoreRegistry {
 public:
  using Restore = std::function<void()>;

  void add(const UUID& id, Restore restore);
  // Takes the entry out without running it; false when there was none.
  bool remove(const UUID& id);
  // Takes every action out under the lock and runs each once outside it.
  void restoreAll();
  std::size_t count();

 private:
  std::mutex lock_;
  std::map<UUID, Restore> entries_;
};

}  // namespace brindlet::host

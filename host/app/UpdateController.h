#pragma once

// The application's updater as the panel sees it: whether "Check for Updates…" can run now,
// kept on the main strand, and the check itself. The updater is started at launch, except in
// a process that only hosts tests; until it says otherwise (and always when it is not started)
// no check is possible.
//
//   auto updates = UpdateController::make(mainStrand, updater, !options.hostingTests);
//   updates->onChange = [] { ... redraw ... };
//   if (updates->canCheckForUpdates()) updates->checkForUpdates();

#include <functional>
#include <memory>

#include "base/Executor.h"
#include "host/ui/HostWindows.h"
#include "platform/update/Updater.h"

namespace brindlet::host {

class UpdateController : public std::enable_shared_from_this<UpdateController> {
 public:
  // `updater` may be absent: no check is ever possible.
  static std::shared_ptr<UpdateController> make(Strand main, std::shared_ptr<platform::Updater> updater,
                                                bool startUpdater);

  // What a check found, as the window that tells it.
  static HostWindows::Alert alert(const platform::Updater::Outcome& outcome);

  // Main strand.
  bool canCheckForUpdates() const { return canCheckForUpdates_; }
  void checkForUpdates();

  // Main strand: called when canCheckForUpdates() changed, and with the end of each check.
  std::function<void()> onChange;
  std::function<void(const platform::Updater::Outcome&)> onChecked;

 private:
  UpdateController(Strand main, std::shared_ptr<platform::Updater> updater);
  void set(bool value);

  Strand main_;
  std::shared_ptr<platform::Updater> updater_;
  bool canCheckForUpdates_ = false;
};

}  // namespace brindlet::host

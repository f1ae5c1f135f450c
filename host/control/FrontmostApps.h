#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/capture/ChangeBroadcaster.h"
#include "host/control/MenuSource.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"

namespace brindlet::platform {
class ActiveWindow;
}

namespace brindlet::host {

// The app in front (the one whose window has the keyboard focus) and a notice each time
// another app comes to the front. Made once by the composition root; any thread.
class FrontmostApps {
 public:
  // Follows the X server's active window on a strand of `executor`. Without an X server
  // there is never a frontmost app.
  static std::shared_ptr<FrontmostApps> make(const Executor& executor, std::shared_ptr<Clock> clock);
  ~FrontmostApps();

  std::optional<MenuSource::FrontmostApp> current();
  // One element per activation; finishing the stream unsubscribes it.
  AsyncStream<Change> activations();

 private:
  FrontmostApps() = default;

  std::mutex lock_;
  std::unique_ptr<platform::ActiveWindow> window_;  // guarded by lock_
  std::shared_ptr<ChangeBroadcaster> broadcaster_;
  Task watch_;
};

}  // namespace brindlet::host

#pragma once
// One sample of what the user of this computer looks at, for following the focus while one
// window is streamed: the active window (the focused window of the frontmost app) and the
// windows of other apps that float over the followed one.

#include <memory>

#include "host/control/FocusObserving.h"
#include "host/control/WindowEvents.h"

namespace brindlet::platform {
class WindowManager;
}

namespace brindlet::host {

class SystemFocusObserver final : public FocusObserving {
 public:
  // `ownPID` is this process's ID, whose windows are never followed.
  SystemFocusObserver(std::shared_ptr<platform::WindowManager> manager, std::shared_ptr<WindowEvents> events,
                      std::int32_t ownPID)
      : manager_(std::move(manager)), events_(std::move(events)), ownPID_(ownPID) {}

  FocusObservation observe(const Followed& following, const std::vector<DisplayInfo>& displays) override;
  AsyncStream<WindowEvent> changes() override;

 private:
  std::shared_ptr<platform::WindowManager> manager_;
  std::shared_ptr<WindowEvents> events_;
  std::int32_t ownPID_;
};

}  // namespace brindlet::host

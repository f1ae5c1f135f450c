#include "host/control/SystemFocusObserver.h"

#include <algorithm>

#include "host/capture/WindowCatalog.h"
#include "host/control/CGWindowTracker.h"
#include "host/control/FocusModel.h"
#include "platform/windows/WindowManager.h"

namespace brindlet::host {

namespace {

ObservedWindow observed(const platform::ManagedWindow& w, WindowKind kind) {
  return ObservedWindow{w.pid, w.id, w.title, w.appName, Rect{w.frame.x, w.frame.y, w.frame.width, w.frame.height},
                        kind};
}

}  // namespace

FocusObservation SystemFocusObserver::observe(const Followed& following, const std::vector<DisplayInfo>& displays) {
  const auto windows = manager_->windowsFrontToBack();
  FocusObservation observation;

  const std::uint32_t active = manager_->activeWindow();
  auto focused = std::find_if(windows.begin(), windows.end(), [&](const auto& w) { return active && w.id == active; });
  if (focused == windows.end()) {
    // Nothing is active: the frontmost normal window stands for the focus.
    focused = std::find_if(windows.begin(), windows.end(), [](const auto& w) {
      WindowRecord r = windowRecord(w);
      return r.layer == 0 && r.isOnScreen;
    });
  }
  if (focused != windows.end()) {
    const WindowKind kind = classifyWindow(windowSubrole(*focused), focused->resizable, focused->appName);
    observation.focused = observed(*focused, kind);
  }

  for (const auto& w : windows) {
    const WindowRecord r = windowRecord(w);
    if (!r.isOnScreen) continue;
    if (r.pid == ownPID_) continue;
    if (r.id == following.windowID) continue;
    if (isIgnoredWindowOwner(r.ownerName)) continue;
    if (!isSecureOwnerName(r.ownerName) && r.layer < 1) continue;
    if (r.frame.width < 60 || r.frame.height < 40) continue;
    auto display = displayForRect(r.frame, displays);
    if (!display) continue;
    const Rect d = display->frame.rect();
    const double ix = std::min(d.maxX(), r.frame.maxX()) - std::max(d.minX(), r.frame.minX());
    const double iy = std::min(d.maxY(), r.frame.maxY()) - std::max(d.minY(), r.frame.minY());
    if (ix <= 0 || iy <= 0) continue;
    if (r.frame.width * r.frame.height >= 0.9 * d.width * d.height) continue;
    if (r.pid == following.pid && liesOnFollowedWindow(r.frame, following.frame)) continue;
    observation.overlays.push_back(observed(w, WindowKind::transient));
  }
  return observation;
}

AsyncStream<WindowEvent> SystemFocusObserver::changes() {
  if (events_) return events_->subscribe();
  AsyncStream<WindowEvent> none;
  none.finish();
  return none;
}

}  // namespace brindlet::host

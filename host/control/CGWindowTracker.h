#pragma once
// The window list of the X screen as the window tracker of the session sees it: windows by
// number, an app's windows, the usable area of a display (its work area, without panels and
// docks). A window's record comes from the window manager's client list:
//
//   layer  -1 desktop, 0 normal, 3 kept above, 20 dock, 23 notification, 101 menu or tooltip
//   on screen: mapped and not minimised; minimised: _NET_WM_STATE_HIDDEN

#include <memory>

#include "host/control/WindowTracking.h"

namespace brindlet::platform {
class WindowManager;
struct ManagedWindow;
}  // namespace brindlet::platform

namespace brindlet::host {

// One window of the manager's list as a record.
WindowRecord windowRecord(const platform::ManagedWindow& window);

// The role a window would have as an accessibility element: "AXStandardWindow" for a normal
// top-level window, "AXDialog" for a dialog, a modal or a transient window, "AXFloatingWindow"
// for utility windows and toolbars, "AXUnknown" for the rest.
std::string windowSubrole(const platform::ManagedWindow& window);

class CGWindowTracker final : public WindowTracking {
 public:
  explicit CGWindowTracker(std::shared_ptr<platform::WindowManager> manager) : manager_(std::move(manager)) {}

  asio::awaitable<std::optional<Rect>> visibleFrame(std::uint32_t displayID) override;
  std::optional<WindowRecord> windowInfo(std::uint32_t windowID) override;
  std::vector<WindowRecord> windows(std::int32_t pid) override;

 private:
  std::shared_ptr<platform::WindowManager> manager_;
};

}  // namespace brindlet::host

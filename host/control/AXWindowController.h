#pragma once
// Brings apps and windows forward and moves and resizes windows through the window manager.
// A window is found among its app's windows by its number, else by its title and frame
// (matchWindowByTitleAndFrame). A resize is asked of the manager and read back once the
// manager has applied it, or after a short wait when it never does.

#include <memory>

#include "base/Clock.h"
#include "host/control/WindowControlling.h"

namespace brindlet::platform {
class WindowManager;
struct ManagedWindow;
}  // namespace brindlet::platform

namespace brindlet::host {

class AXWindowController final : public WindowControlling {
 public:
  AXWindowController(std::shared_ptr<platform::WindowManager> manager, std::shared_ptr<Clock> clock)
      : manager_(std::move(manager)), clock_(std::move(clock)) {}

  void activate(std::int32_t pid) override;
  bool focusWindow(std::int32_t pid, const AppWindowRef& window) override;
  asio::awaitable<std::optional<Rect>> setFrame(Rect frame, std::int32_t pid, AppWindowRef window) override;
  void requestFrame(Rect frame, std::int32_t pid, const AppWindowRef& window) override;

 private:
  std::optional<platform::ManagedWindow> find(std::int32_t pid, const AppWindowRef& window);

  std::shared_ptr<platform::WindowManager> manager_;
  std::shared_ptr<Clock> clock_;
};

}  // namespace brindlet::host

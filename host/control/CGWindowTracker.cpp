#include "host/control/CGWindowTracker.h"

#include "platform/windows/WindowManager.h"

namespace brindlet::host {

namespace {

int layerOf(const platform::ManagedWindow& w) {
  using Type = platform::ManagedWindowType;
  switch (w.type) {
    case Type::desktop:
      return -1;
    case Type::dock:
      return 20;
    case Type::notification:
      return 23;
    case Type::menu:
      return 101;
    default:
      return w.above ? 3 : 0;
  }
}

}  // namespace

WindowRecord windowRecord(const platform::ManagedWindow& w) {
  WindowRecord record;
  record.id = w.id;
  record.pid = w.pid;
  record.title = w.title;
  record.frame = Rect{w.frame.x, w.frame.y, w.frame.width, w.frame.height};
  record.layer = layerOf(w);
  record.isOnScreen = w.viewable && !w.hidden;
  record.isMinimized = w.hidden;
  record.ownerName = w.appName;
  return record;
}

std::string windowSubrole(const platform::ManagedWindow& w) {
  using Type = platform::ManagedWindowType;
  if (w.type == Type::dialog || w.modal || w.transientFor != 0) return "AXDialog";
  if (w.type == Type::utility || w.type == Type::toolbar) return "AXFloatingWindow";
  if (w.type == Type::normal) return "AXStandardWindow";
  return "AXUnknown";
}

asio::awaitable<std::optional<Rect>> CGWindowTracker::visibleFrame(std::uint32_t displayID) {
  auto area = manager_->workArea(displayID);
  if (!area) co_return std::nullopt;
  co_return Rect{area->x, area->y, area->width, area->height};
}

std::optional<WindowRecord> CGWindowTracker::windowInfo(std::uint32_t windowID) {
  auto window = manager_->window(windowID);
  if (!window) return std::nullopt;
  return windowRecord(*window);
}

std::vector<WindowRecord> CGWindowTracker::windows(std::int32_t pid) {
  std::vector<WindowRecord> found;
  for (const auto& w : manager_->windowsFrontToBack()) {
    if (w.pid != pid) continue;
    WindowRecord record = windowRecord(w);
    if (record.layer != 0 || record.frame.width < minimumAppWindowWidth ||
        record.frame.height < minimumAppWindowHeight) {
      continue;
    }
    found.push_back(std::move(record));
  }
  return found;
}

}  // namespace brindlet::host

#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "host/capture/WindowCatalog.h"
#include "base/Geometry.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

// Looks windows up in the window list and tells the usable area of a display.
class WindowTracking {
 public:
  virtual ~WindowTracking() = default;

  // The area of the display without panels and docks, in global points; nothing when there
  // is no such display.
  virtual asio::awaitable<std::optional<Rect>> visibleFrame(std::uint32_t displayID) = 0;
  // Nothing when the window no longer exists.
  virtual std::optional<WindowRecord> windowInfo(std::uint32_t windowID) = 0;
  // The windows of one process, in window-list order.
  virtual std::vector<WindowRecord> windows(std::int32_t pid) = 0;
};

}  // namespace brindlet::host

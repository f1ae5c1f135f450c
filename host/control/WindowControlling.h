#pragma once

#include <cstdint>
#include <optional>

#include "host/control/AppWindowRef.h"
#include "base/Geometry.h"

namespace brindlet::host {

// Acts on apps' windows: bring an app forward, raise a window, move and resize it.
class WindowControlling {
 public:
  virtual ~WindowControlling() = default;

  virtual void activate(std::int32_t pid) = 0;
  virtual void focusWindow(std::int32_t pid, const AppWindowRef& window) = 0;
  // The frame the window got, nothing when it could not be resized.
  virtual std::optional<Rect> setFrame(const Rect& frame, std::int32_t pid, const AppWindowRef& window) = 0;
};

}  // namespace brindlet::host

#pragma once

#include <optional>
#include <string_view>

#include "base/Geometry.h"
#include "kit/protocol/InputRecords.h"
#include "kit/protocol/MediaRecords.h"

namespace brindlet::host {

// Carries out the device's input on this computer.
class InputInjector {
 public:
  virtual ~InputInjector() = default;

  virtual void key(const KeyEvent& event) = 0;
  // Types the text of a `text` message: key by key through the current layout while
  // keyboard input is blocked (secure input, locked screen), else as Unicode text.
  virtual void typeText(std::string_view text) = 0;
  // `display` is the display whose frame the normalized coordinates of an absolute move
  // cover; an absolute move without one does nothing.
  virtual void pointer(const PointerEvent& event, const std::optional<DisplayInfo>& display) = 0;
  // Reconciles the tracked pointer with the real cursor at uptime `now` and answers where
  // the pointer is, nothing while unknown.
  virtual std::optional<Point> resyncCursor(double now) = 0;
  // Places the pointer at a global point.
  virtual void warp(Point to) = 0;
  // Releases every key and button the device left pressed (the session calls it when it
  // ends, so nothing stays held down, or repeats, on this computer).
  virtual void releaseAll() = 0;
};

}  // namespace brindlet::host

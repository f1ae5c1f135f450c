#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Geometry.h"
#include "host/control/AppWindowRef.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

// Acts on apps' windows: bring an app forward, raise a window, move and resize it.
class WindowControlling {
 public:
  virtual ~WindowControlling() = default;

  virtual void activate(std::int32_t pid) = 0;
  // Shows the window when it is minimised and raises it; false when it was not found.
  virtual bool focusWindow(std::int32_t pid, const AppWindowRef& window) = 0;
  // The frame the window got, as read back; nothing when it could not be resized (not found,
  // or its size cannot be set).
  virtual asio::awaitable<std::optional<Rect>> setFrame(Rect frame, std::int32_t pid, AppWindowRef window) = 0;
  // Asks for the frame and returns at once, without reading it back: for putting windows back
  // while the host exits.
  virtual void requestFrame(Rect frame, std::int32_t pid, const AppWindowRef& window) = 0;
};

// Where a window is looked for again when its number is not found: one title and frame per
// candidate window, in the app's window order.
struct WindowCandidate {
  std::string title;
  Rect frame;
};

// The candidate that is `reference`, by title and frame (frames "close" when min x, min y,
// width and height each differ by less than 3 points): the close frame with the same title;
// else, when the reference has a title and some candidate bears it, that candidate (a cascade
// of one app's windows puts other windows within reach of the frame); else the first close
// frame; else the first with the same title. Nothing when none fits.
std::optional<std::size_t> matchWindowByTitleAndFrame(const AppWindowRef& reference,
                                                      const std::vector<WindowCandidate>& candidates);

}  // namespace brindlet::host

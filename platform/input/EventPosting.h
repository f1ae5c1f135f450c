#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/Geometry.h"

namespace brindlet::platform {

// A point and a rectangle of the global desktop space: origin at the top left of the main
// display.
using GlobalPoint = Point;
using GlobalRect = Rect;

// Flag bits of a posted event, as the Mac's event system numbers them.
namespace event_flags {
inline constexpr uint64_t alphaShift = 0x10000;
inline constexpr uint64_t shift = 0x20000;
inline constexpr uint64_t control = 0x40000;
inline constexpr uint64_t alternate = 0x80000;  // option
inline constexpr uint64_t command = 0x100000;
inline constexpr uint64_t secondaryFn = 0x800000;
}  // namespace event_flags

// A keyboard event: a virtual key code of the Mac keyboard going down or up with exactly
// the given flags. A flags-changed event presses or releases a modifier key itself.
struct KeyboardEvent {
  uint16_t virtualKey = 0;
  bool isDown = false;
  uint64_t flags = 0;
  bool flagsChanged = false;
  bool operator==(const KeyboardEvent&) const = default;
};

// Mouse event types, numbered as the Mac's event system numbers them.
enum class MouseEventType : uint32_t {
  leftMouseDown = 1,
  leftMouseUp = 2,
  rightMouseDown = 3,
  rightMouseUp = 4,
  mouseMoved = 5,
  leftMouseDragged = 6,
  rightMouseDragged = 7,
  otherMouseDown = 25,
  otherMouseUp = 26,
  otherMouseDragged = 27,
};

enum class MouseButton : uint32_t { left = 0, right = 1, center = 2 };

struct MouseEvent {
  MouseEventType type = MouseEventType::mouseMoved;
  GlobalPoint location;
  MouseButton button = MouseButton::left;
  int64_t deltaX = 0;
  int64_t deltaY = 0;
  int64_t clickState = 1;
  bool operator==(const MouseEvent&) const = default;
};

// A continuous (pixel) scroll event with two wheels: wheel1 vertical (positive scrolls
// up), wheel2 horizontal (positive scrolls left); phases as the Mac numbers them
// (scroll phase began 1, changed 2, ended 4; momentum phase begin 1, continue 2, end 3).
struct ScrollWheelEvent {
  int32_t wheel1 = 0;
  int32_t wheel2 = 0;
  int64_t scrollPhase = 0;
  int64_t momentumPhase = 0;
  bool operator==(const ScrollWheelEvent&) const = default;
};

// Posts input events in the terms of the Mac's event system and reads back the pointer
// and the displays. Each post answers false when no event could be made.
class EventPosting {
 public:
  virtual ~EventPosting() = default;

  virtual bool postKeyboard(const KeyboardEvent& event) = 0;
  // Types UTF-16 text: the key-down event of a Unicode-string pair types it, the key-up
  // event completes the pair.
  virtual bool postUnicodeString(std::u16string_view units, bool isDown) = 0;
  virtual bool postMouse(const MouseEvent& event) = 0;
  virtual bool postScroll(const ScrollWheelEvent& event) = 0;
  // Where the pointer is, nothing when it cannot be read.
  virtual std::optional<GlobalPoint> pointerLocation() = 0;
  // The bounds of the active displays, the main one first; empty when there are none.
  virtual std::vector<GlobalRect> activeDisplayBounds() = 0;
};

}  // namespace brindlet::platform

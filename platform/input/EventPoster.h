#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

struct _XDisplay;

namespace brindlet::platform {

class X11Keyboard;

// A point of the global desktop space: origin at the top left of the main display.
struct GlobalPoint {
  double x = 0;
  double y = 0;
  bool operator==(const GlobalPoint&) const = default;
};

// A rectangle of the global desktop space.
struct GlobalRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const GlobalRect&) const = default;
};

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
};

// A continuous (pixel) scroll event with two wheels: wheel1 vertical (positive scrolls
// up), wheel2 horizontal (positive scrolls left); phases as the Mac numbers them
// (scroll phase began 1, changed 2, ended 4; momentum phase begin 1, continue 2, end 3).
struct ScrollWheelEvent {
  int32_t wheel1 = 0;
  int32_t wheel2 = 0;
  int64_t scrollPhase = 0;
  int64_t momentumPhase = 0;
};

// Posts keyboard, text, mouse and scroll events into the X server through XTest, in the
// terms of the Mac's event system, and reads back the pointer and the displays. Owns its
// own X connection (the DISPLAY of the environment); every call is thread-safe. Each post
// answers false when no event could be made (no X server, a key the keyboard lacks).
//
// What X cannot carry: click counts (X clients count clicks by timing), pointer deltas
// beside the absolute position, continuous scrolling (pixels become wheel steps), and the
// Fn key and flag.
class EventPoster {
 public:
  // Pixels of continuous scrolling that make one wheel step.
  static constexpr int pixelsPerWheelStep = 20;

  EventPoster();
  ~EventPoster();
  EventPoster(const EventPoster&) = delete;
  EventPoster& operator=(const EventPoster&) = delete;

  bool isAvailable() const { return display_ != nullptr; }

  bool postKeyboard(const KeyboardEvent& event);
  // Types UTF-16 text: the key-down event of a Unicode-string pair types every character
  // with exactly the modifiers it needs on the current layout (caps lock off); the key-up
  // event posts nothing, the characters are already typed. A character the layout lacks
  // is typed on a spare key (one without symbols) mapped to its keysym. The mapping stays
  // until that spare key is needed for another character or the poster is destroyed, when
  // it is undone: X clients read a changed keymap only after they see its notification,
  // and one undone at once would make them read the key as nothing.
  bool postUnicodeString(std::u16string_view units, bool isDown);
  bool postMouse(const MouseEvent& event);
  bool postScroll(const ScrollWheelEvent& event);

  // Where the pointer is, nothing when it cannot be read.
  std::optional<GlobalPoint> pointerLocation();
  // The bounds of the active displays, the primary first; empty when there are none.
  std::vector<GlobalRect> activeDisplayBounds();

 private:
  struct ModifierChange;
  ModifierChange applyModifiers(unsigned wanted, bool wantLock);
  void undo(const ModifierChange& change);
  void tapKey(unsigned char keycode, unsigned mods, bool lock);
  bool typeCharacter(char32_t c, unsigned group);
  bool mapSpareKey(unsigned long keysym);
  void unmapSpareKeys();

  std::mutex mutex_;
  ::_XDisplay* display_ = nullptr;
  std::unique_ptr<X11Keyboard> keyboard_;
  // Spare keys this poster mapped, with their keysym, least recently used first.
  std::vector<std::pair<unsigned char, unsigned long>> mapped_;
  double scrollRemainderX_ = 0;
  double scrollRemainderY_ = 0;
};

}  // namespace brindlet::platform

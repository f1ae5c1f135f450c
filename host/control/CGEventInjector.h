#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "base/Geometry.h"
#include "host/control/HostScroll.h"
#include "host/control/InputInjector.h"
#include "host/control/LayoutKeystroke.h"
#include "host/control/PointerTracker.h"
#include "base/Clock.h"
#include "platform/input/EventPosting.h"

namespace brindlet::host {

class KeyboardLayouts;

// Turns the device's keys, text, pointer moves, buttons and scrolls into events posted
// through the platform's event poster, and tracks where it put the pointer. One per
// session; any thread may call it.
class CGEventInjector final : public InputInjector {
 public:
  // How the text rule learns the keyboard's state.
  struct Keyboard {
    std::function<bool()> isInputBlocked;
    std::function<std::shared_ptr<const LayoutReverseMap>()> layout;
  };

  // This computer's keyboard: blocked while secure input is on or the screen is locked, and
  // the layouts' current reverse map.
  static Keyboard systemKeyboard(std::shared_ptr<KeyboardLayouts> layouts);

  CGEventInjector(std::shared_ptr<platform::EventPosting> poster, std::shared_ptr<const Clock> clock,
                  Keyboard keyboard);

  void key(const KeyEvent& event) override;
  void typeText(std::string_view text) override;
  void pointer(const PointerEvent& event, const std::optional<DisplayInfo>& display) override;
  std::optional<Point> resyncCursor(double now) override;
  void warp(Point to) override;
  void releaseAll() override;

  // Types the text key by key with the layout's reverse map.
  void type(std::string_view text, const LayoutReverseMap& layout);
  // Types the text as Unicode strings, in pieces of at most 20 UTF-16 units.
  void typeUnicode(std::string_view text);

  // Posting primitives.
  void postMove(std::int64_t dx, std::int64_t dy, Point at);
  void postButton(PointerButton button, bool isDown, std::uint8_t clickCount);
  void postScroll(ScrollPhase phase, float dx, float dy);

  // Normalized display coordinates (each clamped to 0...1) to a global point.
  static Point globalPoint(float x, float y, const DisplayFrame& on);
  std::vector<Rect> activeDisplayBounds();

  // The tracker, read or changed under lock(); resyncLocked() expects it held.
  std::mutex& lock() { return mutex_; }
  PointerTracker& tracker() { return tracker_; }
  void resyncLocked(double now);

 private:
  double uptime() const;
  void moveRelative(float dx, float dy);
  void moveAbsolute(float x, float y, const DisplayInfo& display);
  bool postKey(std::uint16_t keyCode, bool isDown, std::uint64_t flags, bool flagsChanged);

  std::shared_ptr<platform::EventPosting> poster_;
  std::shared_ptr<const Clock> clock_;
  Keyboard keyboard_;

  std::mutex mutex_;                        // guards everything below
  std::set<std::uint8_t> held_;             // buttons pressed by injection (PointerButton raw values)
  std::map<std::uint16_t, bool> heldKeys_;  // virtual keys pressed by key events: is it a modifier
  PointerTracker tracker_;
  HostScroll::Remainder scrollRemainder_;
  bool momentumActive_ = false;
};

}  // namespace brindlet::host

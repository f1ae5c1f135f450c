#include "host/control/CGEventInjector.h"

#include <cmath>
#include <limits>
#include <type_traits>
#include <variant>

#include "host/HostLog.h"
#include "host/control/HIDKeyTable.h"
#include "host/control/LayoutReverseMap.h"
#include "kit/protocol/CursorSpace.h"
#include "platform/log/Log.h"

namespace brindlet::host {
namespace {

namespace flags = platform::event_flags;
using platform::MouseButton;
using platform::MouseEventType;

constexpr std::uint16_t kShiftKey = 56;
constexpr std::uint16_t kOptionKey = 58;

// Each modifier bit maps to its event flag on its own; no other flag is ever set.
std::uint64_t eventFlags(ModifierFlags modifiers) {
  std::uint64_t out = 0;
  if (modifiers.contains(ModifierFlags::shift)) out |= flags::shift;
  if (modifiers.contains(ModifierFlags::control)) out |= flags::control;
  if (modifiers.contains(ModifierFlags::option)) out |= flags::alternate;
  if (modifiers.contains(ModifierFlags::command)) out |= flags::command;
  if (modifiers.contains(ModifierFlags::function)) out |= flags::secondaryFn;
  if (modifiers.contains(ModifierFlags::capsLock)) out |= flags::alphaShift;
  return out;
}

// A rounded delta (halves away from zero) that fits 64 bits, nothing otherwise.
std::optional<std::int64_t> roundedDelta(float delta) {
  const double rounded = std::round(static_cast<double>(delta));
  if (!std::isfinite(rounded) || std::abs(rounded) >= 9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(rounded);
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

CGEventInjector::Keyboard CGEventInjector::systemKeyboard(std::shared_ptr<KeyboardLayouts> layouts) {
  return Keyboard{isKeyboardInputBlocked, [layouts = std::move(layouts)] { return layouts->reverseMap(); }};
}

CGEventInjector::CGEventInjector(std::shared_ptr<platform::EventPosting> poster, std::shared_ptr<const Clock> clock,
                                 Keyboard keyboard)
    : poster_(std::move(poster)), clock_(std::move(clock)), keyboard_(std::move(keyboard)) {}

double CGEventInjector::uptime() const { return std::chrono::duration<double>(clock_->uptimeNow()).count(); }

bool CGEventInjector::postKey(std::uint16_t keyCode, bool isDown, std::uint64_t eventFlags, bool flagsChanged) {
  return poster_->postKeyboard({keyCode, isDown, eventFlags, flagsChanged});
}

void CGEventInjector::key(const KeyEvent& event) {
  const auto keyCode = virtualKeyCode(event.usage);
  if (!keyCode) {
    platform::systemLog("Nolu: no virtual key for HID usage 0x%x", static_cast<unsigned>(event.usage.rawValue));
    return;
  }
  const bool modifier = isModifierUsage(event.usage);
  if (!postKey(*keyCode, event.isDown, eventFlags(event.modifiers), modifier)) return;
  // Remember what is held, so that the end of the session can release it.
  std::lock_guard lock(mutex_);
  if (event.isDown) {
    heldKeys_[*keyCode] = modifier;
  } else {
    heldKeys_.erase(*keyCode);
  }
}

void CGEventInjector::typeText(std::string_view text) {
  if (keyboard_.isInputBlocked && keyboard_.isInputBlocked()) {
    if (auto layout = keyboard_.layout ? keyboard_.layout() : nullptr) {
      type(text, *layout);
      return;
    }
  }
  typeUnicode(text);
}

void CGEventInjector::typeUnicode(std::string_view text) {
  for (const std::u16string& piece : splitUTF16Chunks(text, 20)) {
    poster_->postUnicodeString(piece, true);
    poster_->postUnicodeString(piece, false);
  }
}

void CGEventInjector::type(std::string_view text, const LayoutReverseMap& layout) {
  // This path types passwords (secure input, locked screen): the log learns how many
  // characters had no key, never which.
  std::size_t missing = 0;
  for (const std::u16string& character : graphemeClusters(utf16(text))) {
    auto found = layout.find(utf8(character));
    if (found == layout.end()) {
      ++missing;
      continue;
    }
    const LayoutKeystroke& k = found->second;
    const std::uint64_t keyFlags = (k.shift ? flags::shift : 0) | (k.option ? flags::alternate : 0);
    if (k.shift) postKey(kShiftKey, true, flags::shift, true);
    if (k.option) postKey(kOptionKey, true, keyFlags, true);
    postKey(k.keyCode, true, keyFlags, false);
    postKey(k.keyCode, false, keyFlags, false);
    if (k.option) postKey(kOptionKey, false, keyFlags & ~flags::alternate, true);
    if (k.shift) postKey(kShiftKey, false, 0, true);
  }
  if (missing > 0) platform::systemLog("Nolu: no key for %zu characters in the current layout, skipped", missing);
}

void CGEventInjector::pointer(const PointerEvent& event, const std::optional<DisplayInfo>& display) {
  std::visit(Overloaded{
                 [&](const PointerEvent::MoveRelative& e) { moveRelative(e.dx, e.dy); },
                 [&](const PointerEvent::MoveAbsolute& e) {
                   if (display) moveAbsolute(e.x, e.y, *display);
                 },
                 [&](const PointerEvent::Button& e) { postButton(e.button, e.isDown, e.clickCount); },
                 [&](const PointerEvent::Scroll& e) { postScroll(e.phase, e.dx, e.dy); },
             },
             event.value);
}

void CGEventInjector::moveRelative(float dx, float dy) {
  const auto rdx = roundedDelta(dx), rdy = roundedDelta(dy);
  if (!rdx || !rdy) return;  // not finite, or beyond any screen
  Point target;
  {
    std::lock_guard lock(mutex_);
    const double now = uptime();
    resyncLocked(now);
    const std::vector<Rect> bounds = activeDisplayBounds();
    const Point base = tracker_.position.value_or(Point{0, 0});
    target = CursorSpace::clamp(Point{base.x + dx, base.y + dy}, bounds);
    tracker_.noteInjected(target, now);
  }
  postMove(*rdx, *rdy, target);
}

void CGEventInjector::moveAbsolute(float x, float y, const DisplayInfo& display) {
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  const Point target = globalPoint(x, y, display.frame);
  {
    std::lock_guard lock(mutex_);
    const double now = uptime();
    resyncLocked(now);
    tracker_.noteInjected(target, now);
  }
  postMove(0, 0, target);
}

void CGEventInjector::warp(Point to) {
  {
    std::lock_guard lock(mutex_);
    const double now = uptime();
    resyncLocked(now);
    tracker_.noteInjected(to, now);
  }
  postMove(0, 0, to);
}

void CGEventInjector::postMove(std::int64_t dx, std::int64_t dy, Point at) {
  std::set<std::uint8_t> held;
  {
    std::lock_guard lock(mutex_);
    held = held_;
  }
  auto isHeld = [&](PointerButton b) { return held.contains(static_cast<std::uint8_t>(b)); };
  MouseEventType type = MouseEventType::mouseMoved;
  MouseButton button = MouseButton::left;
  if (isHeld(PointerButton::left)) {
    type = MouseEventType::leftMouseDragged;
  } else if (isHeld(PointerButton::right)) {
    type = MouseEventType::rightMouseDragged, button = MouseButton::right;
  } else if (isHeld(PointerButton::middle)) {
    type = MouseEventType::otherMouseDragged, button = MouseButton::center;
  }
  poster_->postMouse({type, {at.x, at.y}, button, dx, dy, 0});
}

void CGEventInjector::postButton(PointerButton button, bool isDown, std::uint8_t clickCount) {
  Point at;
  {
    std::lock_guard lock(mutex_);
    resyncLocked(uptime());
    at = tracker_.position.value_or(Point{0, 0});
  }
  MouseEventType type;
  MouseButton cgButton;
  switch (button) {
    case PointerButton::left:
      type = isDown ? MouseEventType::leftMouseDown : MouseEventType::leftMouseUp, cgButton = MouseButton::left;
      break;
    case PointerButton::right:
      type = isDown ? MouseEventType::rightMouseDown : MouseEventType::rightMouseUp, cgButton = MouseButton::right;
      break;
    default:
      type = isDown ? MouseEventType::otherMouseDown : MouseEventType::otherMouseUp, cgButton = MouseButton::center;
      break;
  }
  const std::int64_t clickState = clickCount >= 2 ? clickCount : 1;
  if (!poster_->postMouse({type, {at.x, at.y}, cgButton, 0, 0, clickState})) return;
  std::lock_guard lock(mutex_);
  if (isDown) {
    held_.insert(static_cast<std::uint8_t>(button));
  } else {
    held_.erase(static_cast<std::uint8_t>(button));
  }
}

void CGEventInjector::postScroll(ScrollPhase phase, float dx, float dy) {
  std::int32_t h = 0, v = 0;
  {
    std::lock_guard lock(mutex_);
    if (phase == ScrollPhase::began) scrollRemainder_ = {};
    std::tie(h, v) = HostScroll::accumulate(dx, dy, scrollRemainder_);
  }
  bool wasMomentum = false;
  {
    std::lock_guard lock(mutex_);
    wasMomentum = momentumActive_;
    momentumActive_ = phase == ScrollPhase::momentum;
  }
  platform::ScrollWheelEvent event{v, h, 0, 0};
  switch (phase) {
    case ScrollPhase::began:
      event.scrollPhase = 1;
      break;
    case ScrollPhase::changed:
      event.scrollPhase = 2;
      break;
    case ScrollPhase::ended:
      event.scrollPhase = 4;
      break;
    case ScrollPhase::momentum:
      event.momentumPhase = wasMomentum ? 2 : 1;
      break;
    case ScrollPhase::momentumEnded:
      event.momentumPhase = 3;
      break;
  }
  poster_->postScroll(event);
}

Point CGEventInjector::globalPoint(float x, float y, const DisplayFrame& on) {
  auto unit = [](float v) -> double {
    if (v <= 0) return 0;
    if (v > 1) return 1;
    return v;
  };
  return Point{static_cast<double>(on.x) + unit(x) * static_cast<double>(on.width),
               static_cast<double>(on.y) + unit(y) * static_cast<double>(on.height)};
}

std::vector<Rect> CGEventInjector::activeDisplayBounds() {
  std::vector<Rect> bounds;
  for (const platform::GlobalRect& r : poster_->activeDisplayBounds()) bounds.push_back({r.x, r.y, r.width, r.height});
  return bounds;
}

void CGEventInjector::resyncLocked(double now) {
  const std::optional<Point> expected = tracker_.position;
  std::optional<Point> real;
  if (auto location = poster_->pointerLocation()) real = Point{location->x, location->y};
  const bool local = tracker_.isLocalMove(real, now);
  if (real && local && expected) {
    sessionLog().info("cursor resync: real %.1f,%.1f vs expected %.1f,%.1f", real->x, real->y, expected->x,
                      expected->y);
  }
}

std::optional<Point> CGEventInjector::resyncCursor(double now) {
  std::lock_guard lock(mutex_);
  resyncLocked(now);
  return tracker_.position;
}

void CGEventInjector::releaseAll() {
  std::map<std::uint16_t, bool> keys;
  std::set<std::uint8_t> buttons;
  {
    std::lock_guard lock(mutex_);
    keys = heldKeys_;
    buttons = held_;
  }
  for (auto [keyCode, modifier] : keys) postKey(keyCode, false, 0, modifier);
  for (std::uint8_t button : buttons) postButton(static_cast<PointerButton>(button), false, 1);
  std::lock_guard lock(mutex_);
  for (auto [keyCode, modifier] : keys) heldKeys_.erase(keyCode);
  for (std::uint8_t button : buttons) held_.erase(button);
}

}  // namespace brindlet::host

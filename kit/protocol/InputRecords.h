#pragma once

// Keyboard and pointer records carried by the key and pointer messages.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <variant>

#include "kit/protocol/RawEnum.h"

namespace brindlet {

// One key, named by its USB HID usage: a usage ID of the Keyboard/Keypad page (0x07), or
// 0xFF03 for the Fn (globe) key. Every 16-bit value is a valid key and travels unchanged.
struct HIDUsage {
  std::uint16_t rawValue = 0;

  bool operator==(const HIDUsage&) const = default;

  static const HIDUsage a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u, v, w, x, y, z;
  static const HIDUsage digit1, digit2, digit3, digit4, digit5, digit6, digit7, digit8, digit9, digit0;
  static const HIDUsage returnKey, escape, deleteBackward, tab, space, minus, equal, leftBracket, rightBracket,
      backslash;
  static const HIDUsage semicolon, quote, grave, comma, period, slash;
  static const HIDUsage capsLock;
  static const HIDUsage f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12;
  static const HIDUsage home, pageUp, deleteForward, end, pageDown, rightArrow, leftArrow, downArrow, upArrow;
  static const HIDUsage leftControl, leftShift, leftOption, leftCommand, rightControl, rightShift, rightOption,
      rightCommand;
  static const HIDUsage fn;
};

inline constexpr HIDUsage HIDUsage::a{0x04}, HIDUsage::b{0x05}, HIDUsage::c{0x06}, HIDUsage::d{0x07}, HIDUsage::e{0x08},
    HIDUsage::f{0x09}, HIDUsage::g{0x0A}, HIDUsage::h{0x0B}, HIDUsage::i{0x0C}, HIDUsage::j{0x0D}, HIDUsage::k{0x0E},
    HIDUsage::l{0x0F}, HIDUsage::m{0x10}, HIDUsage::n{0x11}, HIDUsage::o{0x12}, HIDUsage::p{0x13}, HIDUsage::q{0x14},
    HIDUsage::r{0x15}, HIDUsage::s{0x16}, HIDUsage::t{0x17}, HIDUsage::u{0x18}, HIDUsage::v{0x19}, HIDUsage::w{0x1A},
    HIDUsage::x{0x1B}, HIDUsage::y{0x1C}, HIDUsage::z{0x1D};
inline constexpr HIDUsage HIDUsage::digit1{0x1E}, HIDUsage::digit2{0x1F}, HIDUsage::digit3{0x20},
    HIDUsage::digit4{0x21}, HIDUsage::digit5{0x22}, HIDUsage::digit6{0x23}, HIDUsage::digit7{0x24},
    HIDUsage::digit8{0x25}, HIDUsage::digit9{0x26}, HIDUsage::digit0{0x27};
inline constexpr HIDUsage HIDUsage::returnKey{0x28}, HIDUsage::escape{0x29}, HIDUsage::deleteBackward{0x2A},
    HIDUsage::tab{0x2B}, HIDUsage::space{0x2C}, HIDUsage::minus{0x2D}, HIDUsage::equal{0x2E},
    HIDUsage::leftBracket{0x2F}, HIDUsage::rightBracket{0x30}, HIDUsage::backslash{0x31};
inline constexpr HIDUsage HIDUsage::semicolon{0x33}, HIDUsage::quote{0x34}, HIDUsage::grave{0x35},
    HIDUsage::comma{0x36}, HIDUsage::period{0x37}, HIDUsage::slash{0x38};
inline constexpr HIDUsage HIDUsage::capsLock{0x39};
inline constexpr HIDUsage HIDUsage::f1{0x3A}, HIDUsage::f2{0x3B}, HIDUsage::f3{0x3C}, HIDUsage::f4{0x3D},
    HIDUsage::f5{0x3E}, HIDUsage::f6{0x3F}, HIDUsage::f7{0x40}, HIDUsage::f8{0x41}, HIDUsage::f9{0x42},
    HIDUsage::f10{0x43}, HIDUsage::f11{0x44}, HIDUsage::f12{0x45};
inline constexpr HIDUsage HIDUsage::home{0x4A}, HIDUsage::pageUp{0x4B}, HIDUsage::deleteForward{0x4C},
    HIDUsage::end{0x4D}, HIDUsage::pageDown{0x4E}, HIDUsage::rightArrow{0x4F}, HIDUsage::leftArrow{0x50},
    HIDUsage::downArrow{0x51}, HIDUsage::upArrow{0x52};
inline constexpr HIDUsage HIDUsage::leftControl{0xE0}, HIDUsage::leftShift{0xE1}, HIDUsage::leftOption{0xE2},
    HIDUsage::leftCommand{0xE3}, HIDUsage::rightControl{0xE4}, HIDUsage::rightShift{0xE5}, HIDUsage::rightOption{0xE6},
    HIDUsage::rightCommand{0xE7};
inline constexpr HIDUsage HIDUsage::fn{0xFF03};

// The modifier bits of a key event. Bits 0x40 and 0x80 have no name but are kept as they are.
struct ModifierFlags {
  std::uint8_t rawValue = 0;

  constexpr ModifierFlags() = default;
  constexpr explicit ModifierFlags(std::uint8_t raw) : rawValue(raw) {}
  constexpr ModifierFlags(std::initializer_list<ModifierFlags> flags) {
    for (ModifierFlags f : flags) rawValue |= f.rawValue;
  }

  static const ModifierFlags shift, control, option, command, function, capsLock;

  constexpr bool contains(ModifierFlags other) const { return (rawValue & other.rawValue) == other.rawValue; }
  constexpr bool isEmpty() const { return rawValue == 0; }
  constexpr void insert(ModifierFlags other) { rawValue |= other.rawValue; }
  constexpr void remove(ModifierFlags other) { rawValue &= static_cast<std::uint8_t>(~other.rawValue); }
  constexpr ModifierFlags operator|(ModifierFlags o) const { return ModifierFlags(rawValue | o.rawValue); }
  constexpr ModifierFlags operator&(ModifierFlags o) const { return ModifierFlags(rawValue & o.rawValue); }
  constexpr ModifierFlags operator-(ModifierFlags o) const {
    return ModifierFlags(static_cast<std::uint8_t>(rawValue & ~o.rawValue));
  }
  constexpr bool operator==(const ModifierFlags&) const = default;
};
inline constexpr ModifierFlags ModifierFlags::shift{std::uint8_t{0x01}}, ModifierFlags::control{std::uint8_t{0x02}},
    ModifierFlags::option{std::uint8_t{0x04}}, ModifierFlags::command{std::uint8_t{0x08}},
    ModifierFlags::function{std::uint8_t{0x10}}, ModifierFlags::capsLock{std::uint8_t{0x20}};

struct KeyEvent {
  HIDUsage usage;
  bool isDown = false;
  ModifierFlags modifiers;

  bool operator==(const KeyEvent&) const = default;
};

enum class PointerButton : std::uint8_t { left = 0, right = 1, middle = 2 };
template <>
struct RawRange<PointerButton> {
  static constexpr std::uint8_t first = 0, last = 2;
};

enum class ScrollPhase : std::uint8_t { began = 0, changed = 1, ended = 2, momentum = 3, momentumEnded = 4 };
template <>
struct RawRange<ScrollPhase> {
  static constexpr std::uint8_t first = 0, last = 4;
};

// One pointer action: a relative move, an absolute move on a display, a button change or a
// scroll. Build one from its case: PointerEvent{PointerEvent::Scroll{0, -3, ScrollPhase::changed}};
// inspect it with std::get_if on `value` or with std::visit.
// The cases of PointerEvent (also reachable as PointerEvent::MoveRelative and so on).
struct PointerMoveRelative {
  float dx = 0;
  float dy = 0;
  bool operator==(const PointerMoveRelative&) const = default;
};
struct PointerMoveAbsolute {
  std::uint32_t displayID = 0;
  float x = 0;
  float y = 0;
  bool operator==(const PointerMoveAbsolute&) const = default;
};
struct PointerButtonChange {
  PointerButton button = PointerButton::left;
  bool isDown = false;
  std::uint8_t clickCount = 0;
  bool operator==(const PointerButtonChange&) const = default;
};
struct PointerScroll {
  float dx = 0;
  float dy = 0;
  ScrollPhase phase = ScrollPhase::began;
  bool operator==(const PointerScroll&) const = default;
};

struct PointerEvent {
  using MoveRelative = PointerMoveRelative;
  using MoveAbsolute = PointerMoveAbsolute;
  using Button = PointerButtonChange;
  using Scroll = PointerScroll;

  std::variant<MoveRelative, MoveAbsolute, Button, Scroll> value;

  PointerEvent() = default;
  PointerEvent(MoveRelative e) : value(e) {}
  PointerEvent(MoveAbsolute e) : value(e) {}
  PointerEvent(Button e) : value(e) {}
  PointerEvent(Scroll e) : value(e) {}

  bool operator==(const PointerEvent&) const = default;
};

}  // namespace brindlet

template <>
struct std::hash<brindlet::HIDUsage> {
  std::size_t operator()(brindlet::HIDUsage u) const noexcept { return u.rawValue; }
};
template <>
struct std::hash<brindlet::ModifierFlags> {
  std::size_t operator()(brindlet::ModifierFlags f) const noexcept { return f.rawValue; }
};

#pragma once

#include <cstdint>
#include <optional>

namespace brindlet::platform {

// Where a virtual key code of the Mac keyboard sits on an X keyboard. Virtual key codes
// name key positions of an ANSI keyboard, so each is found by the XKB name of the key at
// that position (layout-independent); the keysym is asked for only when the keymap has
// no key of that name.
struct VirtualKeyPlace {
  const char* xkbName;  // e.g. "AC01" for virtual key 0 (the A position)
  uint32_t keysym;      // the keysym of that key on a US layout
};

// Nothing for virtual key codes that have no key on an X keyboard (Fn, 63).
std::optional<VirtualKeyPlace> virtualKeyPlace(uint16_t virtualKey);

// Virtual keys of the modifier keys, as the Mac keyboard numbers them.
namespace virtual_key {
inline constexpr uint16_t rightCommand = 54;
inline constexpr uint16_t command = 55;
inline constexpr uint16_t shift = 56;
inline constexpr uint16_t capsLock = 57;
inline constexpr uint16_t option = 58;
inline constexpr uint16_t control = 59;
inline constexpr uint16_t rightShift = 60;
inline constexpr uint16_t rightOption = 61;
inline constexpr uint16_t rightControl = 62;
inline constexpr uint16_t function = 63;
}  // namespace virtual_key

}  // namespace brindlet::platform

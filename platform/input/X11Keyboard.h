#pragma once

#include <X11/Xlib.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct xkb_context;
struct xkb_keymap;

namespace brindlet::platform {

// Real modifier masks and keys of the current X keymap.
struct X11Modifiers {
  unsigned shift = ShiftMask;
  unsigned control = ControlMask;
  unsigned alt = 0;     // the modifier of Alt_L (Mod1 on common keymaps)
  unsigned super = 0;   // the modifier of Super_L (Mod4)
  unsigned level3 = 0;  // the modifier of ISO_Level3_Shift (Mod5), 0 when the keymap has none
  // The key pressed to turn each modifier on, 0 when the keymap has none.
  KeyCode shiftKey = 0, controlKey = 0, altKey = 0, superKey = 0, level3Key = 0;
  // For each of the eight real modifiers, the keys that set it.
  std::array<std::vector<KeyCode>, 8> keysOf;
};

// A key and the real modifiers that make it type one character.
struct X11Keystroke {
  KeyCode keycode = 0;
  unsigned mods = 0;
};

// The keyboard of one X connection as xkbcommon reads it: the keymap, the modifiers and
// where the Mac's virtual keys sit. Follows keymap changes (setxkbmap, remapped keys):
// `refresh` drains the connection's events and reads the keymap again after a change.
// Not thread-safe: its owner serialises calls together with its own use of the connection.
class X11Keyboard {
 public:
  explicit X11Keyboard(Display* display);
  ~X11Keyboard();
  X11Keyboard(const X11Keyboard&) = delete;
  X11Keyboard& operator=(const X11Keyboard&) = delete;

  // False when the server has no usable XKB extension; nothing else works then.
  bool isUsable() const { return keymap_ != nullptr; }

  // Reads pending events; reloads the keymap when it changed since the last call.
  void refresh();
  // The keyboard group (layout) in effect now.
  unsigned currentGroup() const;
  // Name of a group of the keymap ("English (US)", "German"), empty when unknown.
  std::string groupName(unsigned group) const;
  // Changes with every different keymap (a hash of its text).
  uint64_t keymapHash() const { return keymapHash_; }

  const X11Modifiers& modifiers() const { return modifiers_; }
  KeyCode keycodeForVirtualKey(uint16_t virtualKey) const;
  // The Unicode character the key types in `group` with real modifiers `mods`, 0 for none.
  char32_t characterOf(KeyCode keycode, unsigned group, unsigned mods) const;
  uint32_t keysymOf(KeyCode keycode, unsigned group, unsigned mods) const;
  // A key of the current layout that types `c` (with the fewest modifiers).
  std::optional<X11Keystroke> keystrokeFor(char32_t c, unsigned group);
  // Keys with no symbols at all, free to be mapped to a character the layout lacks.
  const std::vector<KeyCode>& spareKeycodes() const { return spares_; }

 private:
  void reload();

  Display* display_;
  xkb_context* context_ = nullptr;
  xkb_keymap* keymap_ = nullptr;
  int32_t deviceID_ = -1;
  int xkbEventBase_ = 0;
  bool dirty_ = false;
  uint64_t keymapHash_ = 0;
  X11Modifiers modifiers_;
  std::array<KeyCode, 128> virtualKeys_{};
  std::vector<KeyCode> spares_;
  // Reverse lookup of the current keymap, built on first use for one group.
  std::optional<unsigned> reverseGroup_;
  std::unordered_map<char32_t, X11Keystroke> reverse_;
};

}  // namespace brindlet::platform

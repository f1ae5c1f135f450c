#pragma once

#include <X11/Xlib.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct _XkbDesc;
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

// The parts of the keyboard's state a poster works with.
struct X11KeyboardState {
  unsigned baseMods = 0;    // modifiers set by keys held down
  unsigned lockedMods = 0;  // modifiers locked (caps lock)
  unsigned group = 0;       // the keyboard group (layout) in effect
};

// A key and the real modifiers that make it type one character.
struct X11Keystroke {
  KeyCode keycode = 0;
  unsigned mods = 0;
};

// The keyboard of one X connection as xkbcommon reads it: the keymap, the modifiers and
// where the Mac's virtual keys sit. Follows keymap changes (setxkbmap, remapped keys):
// `refresh` drains the connection's events and reads the keymap again after a change.
// The state (modifiers, group) and the keys' auto-repeat are kept from the server's
// notifications and from this connection's own changes, so that they cost no round trip
// while nothing else changes them. Not thread-safe: its owner serialises calls together with its own use of the connection.
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
  unsigned currentGroup();
  // The state as of this connection's latest request, as of the events read by the last
  // `refresh`: from the server's notifications when they have told it, else asked.
  X11KeyboardState state();
  // Whether pressing or releasing the key changes the state (a modifier, lock or group key).
  bool changesState(KeyCode keycode) const { return changesState_[keycode]; }
  // Tells that the request just queued on the connection may change the state, so that
  // `state` waits for the server to tell the outcome.
  void noteStateChange();
  // Whether the server repeats the key while it is held.
  bool keyRepeats(KeyCode keycode);
  // Turns the key's auto-repeat on or off (queued, not flushed).
  void setKeyRepeats(KeyCode keycode, bool on);
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
  void readEvent(const XEvent& event);
  bool fetchPerKeyRepeat();

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
  // Keys whose press or release changes the state.
  std::bitset<256> changesState_;

  // The state and the request number it holds for; the last request that may change it.
  std::optional<X11KeyboardState> state_;
  unsigned long stateSerial_ = 0;
  unsigned long changeSerial_ = 0;
  // The per-key auto-repeat bits, as the server's controls hold them (absent: not known).
  _XkbDesc* controls_ = nullptr;
  bool perKeyRepeatKnown_ = false;
  // Request numbers of this connection's own auto-repeat changes not yet notified.
  std::deque<unsigned long> ownRepeatChanges_;
};

}  // namespace brindlet::platform

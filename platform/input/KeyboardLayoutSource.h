#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct _XDisplay;

namespace brindlet::platform {

class X11Keyboard;

// Modifier key states of a layout lookup: the shift and option bits of the classic Mac
// event modifiers, shifted right by 8.
namespace modifier_key_state {
inline constexpr uint32_t none = 0;
inline constexpr uint32_t shift = 2;
inline constexpr uint32_t option = 8;
inline constexpr uint32_t shiftOption = 10;
}  // namespace modifier_key_state

// One keyboard layout as it types: for each virtual key code 0-127 of the Mac keyboard and
// each modifier key state, the text the key produces. Option is the layout's third shift
// level (AltGr). Immutable.
class KeyboardLayoutData {
 public:
  // One entry for each virtual key and state, as UTF-8; filled by the layout source.
  using Table = std::array<std::array<std::string, 4>, 128>;
  explicit KeyboardLayoutData(Table table) : table_(std::move(table)) {}

  // The text a key down produces, empty when the key produces nothing (no such key, a
  // dead key, an unknown state).
  const std::string& translate(uint16_t virtualKey, uint32_t modifierKeyState) const;

 private:
  Table table_;
};

struct CurrentKeyboardLayout {
  std::string inputSourceID;  // names the layout and its keymap; changes when either does
  std::shared_ptr<const KeyboardLayoutData> data;
};

// The keyboard layout in effect on the X server, read with xkbcommon-x11. Owns its own X
// connection; thread-safe. Layout switches (setxkbmap, a group change) are seen at the
// next call.
class KeyboardLayoutSource {
 public:
  KeyboardLayoutSource();
  ~KeyboardLayoutSource();
  KeyboardLayoutSource(const KeyboardLayoutSource&) = delete;
  KeyboardLayoutSource& operator=(const KeyboardLayoutSource&) = delete;

  // Nothing when there is no X server or no keymap.
  std::optional<CurrentKeyboardLayout> current();

 private:
  std::mutex mutex_;
  ::_XDisplay* display_ = nullptr;
  std::unique_ptr<X11Keyboard> keyboard_;
  std::optional<CurrentKeyboardLayout> last_;
};

// Whether secure event input is on. X has no such state: always false.
bool isSecureEventInputEnabled();

// Whether the session's screen is locked, from logind's LockedHint of this session;
// nothing when it cannot be read.
std::optional<bool> sessionScreenIsLocked();

}  // namespace brindlet::platform

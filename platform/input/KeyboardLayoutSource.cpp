#include "platform/input/KeyboardLayoutSource.h"

#include "platform/input/X11Keyboard.h"

#include <X11/Xlib.h>
#include <systemd/sd-bus.h>

namespace brindlet::platform {
namespace {

// UTF-8 of one code point.
std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

int stateIndex(uint32_t modifierKeyState) {
  switch (modifierKeyState) {
    case modifier_key_state::none:
      return 0;
    case modifier_key_state::shift:
      return 1;
    case modifier_key_state::option:
      return 2;
    case modifier_key_state::shiftOption:
      return 3;
    default:
      return -1;
  }
}

}  // namespace

const std::string& KeyboardLayoutData::translate(uint16_t virtualKey, uint32_t modifierKeyState) const {
  static const std::string nothing;
  const int state = stateIndex(modifierKeyState);
  if (virtualKey >= table_.size() || state < 0) return nothing;
  return table_[virtualKey][state];
}

KeyboardLayoutSource::KeyboardLayoutSource() {
  display_ = XOpenDisplay(nullptr);
  if (display_) keyboard_ = std::make_unique<X11Keyboard>(display_);
}

KeyboardLayoutSource::~KeyboardLayoutSource() {
  keyboard_.reset();
  if (display_) XCloseDisplay(display_);
}

std::optional<CurrentKeyboardLayout> KeyboardLayoutSource::current() {
  std::lock_guard lock(mutex_);
  if (!display_ || !keyboard_->isUsable()) return std::nullopt;
  keyboard_->refresh();
  const unsigned group = keyboard_->currentGroup();
  char hash[17];
  snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(keyboard_->keymapHash()));
  std::string id = keyboard_->groupName(group) + "#" + std::to_string(group) + "#" + hash;
  if (last_ && last_->inputSourceID == id) return last_;

  const X11Modifiers& m = keyboard_->modifiers();
  const unsigned states[4] = {0, m.shift, m.level3, m.shift | m.level3};
  KeyboardLayoutData::Table table;
  for (uint16_t vk = 0; vk < table.size(); ++vk) {
    const auto key = keyboard_->keycodeForVirtualKey(vk);
    if (key == 0) continue;
    for (int s = 0; s < 4; ++s) {
      // Without a third level on this keymap, option types what the key types alone.
      const char32_t c = keyboard_->characterOf(key, group, states[s]);
      if (c != 0) table[vk][s] = utf8(c);
    }
  }
  last_ = CurrentKeyboardLayout{std::move(id), std::make_shared<const KeyboardLayoutData>(std::move(table))};
  return last_;
}

bool isSecureEventInputEnabled() { return false; }

std::optional<bool> sessionScreenIsLocked() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return std::nullopt;
  int locked = 0;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int r = sd_bus_get_property_trivial(bus, "org.freedesktop.login1", "/org/freedesktop/login1/session/auto",
                                            "org.freedesktop.login1.Session", "LockedHint", &error, 'b', &locked);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  if (r < 0) return std::nullopt;
  return locked != 0;
}

}  // namespace brindlet::platform

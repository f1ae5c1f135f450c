#include "platform/input/X11Keyboard.h"

#include "platform/input/VirtualKeyTable.h"

#include <X11/XKBlib.h>
#include <X11/Xlib-xcb.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string_view>

namespace brindlet::platform {
namespace {

struct StateDeleter {
  void operator()(xkb_state* s) const { xkb_state_unref(s); }
};
using StatePtr = std::unique_ptr<xkb_state, StateDeleter>;

StatePtr makeState(xkb_keymap* keymap, unsigned group, unsigned mods) {
  StatePtr state(xkb_state_new(keymap));
  if (state) xkb_state_update_mask(state.get(), mods, 0, 0, 0, 0, group);
  return state;
}

}  // namespace

X11Keyboard::X11Keyboard(Display* display) : display_(display) {
  int opcode = 0, errorBase = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  if (!XkbQueryExtension(display_, &opcode, &xkbEventBase_, &errorBase, &major, &minor)) return;
  xcb_connection_t* connection = XGetXCBConnection(display_);
  if (!xkb_x11_setup_xkb_extension(connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                   XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr)) {
    return;
  }
  deviceID_ = xkb_x11_get_core_keyboard_device_id(connection);
  context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  if (deviceID_ < 0 || !context_) return;
  const unsigned long events = XkbNewKeyboardNotifyMask | XkbMapNotifyMask;
  XkbSelectEvents(display_, XkbUseCoreKbd, events, events);
  const unsigned long stateParts = XkbModifierBaseMask | XkbModifierLockMask | XkbGroupStateMask;
  XkbSelectEventDetails(display_, XkbUseCoreKbd, XkbStateNotify, stateParts, stateParts);
  XkbSelectEventDetails(display_, XkbUseCoreKbd, XkbControlsNotify, XkbPerKeyRepeatMask, XkbPerKeyRepeatMask);
  reload();
}

X11Keyboard::~X11Keyboard() {
  if (controls_) XkbFreeKeyboard(controls_, XkbAllComponentsMask, True);
  if (keymap_) xkb_keymap_unref(keymap_);
  if (context_) xkb_context_unref(context_);
}

void X11Keyboard::refresh() {
  if (!context_) return;
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    readEvent(event);
  }
  if (dirty_ || !keymap_) reload();
}

void X11Keyboard::readEvent(const XEvent& event) {
  if (event.type == MappingNotify) {
    dirty_ = true;
    return;
  }
  if (event.type != xkbEventBase_) return;
  const auto* xkbEvent = reinterpret_cast<const XkbAnyEvent*>(&event);
  switch (xkbEvent->xkb_type) {
    case XkbNewKeyboardNotify:
      dirty_ = true;
      break;
    case XkbMapNotify: {
      // A key's auto-repeat set through the core protocol changes only its explicit
      // components, which leave its symbols, actions and modifiers as they were: no new
      // keymap to read, but the repeat of some key is no longer known.
      const auto* map = reinterpret_cast<const XkbMapNotifyEvent*>(&event);
      if ((map->changed & ~XkbExplicitComponentsMask) != 0) dirty_ = true;
      perKeyRepeatKnown_ = false;
      break;
    }
    case XkbStateNotify: {
      // Only the core keyboard's own state, and nothing older than what was asked.
      const auto* notify = reinterpret_cast<const XkbStateNotifyEvent*>(&event);
      if (notify->device != deviceID_ || (state_ && notify->serial < stateSerial_)) break;
      state_ = X11KeyboardState{notify->base_mods, notify->locked_mods, static_cast<unsigned>(notify->group)};
      stateSerial_ = notify->serial;
      break;
    }
    case XkbControlsNotify: {
      const auto* notify = reinterpret_cast<const XkbControlsNotifyEvent*>(&event);
      if (notify->device != deviceID_ || !(notify->changed_ctrls & XkbPerKeyRepeatMask)) break;
      // Changes made here were applied to the cached bits when they were asked for; the
      // one notification of each carries the number of that request. Any other comes from
      // another client, and carries the number of this connection's last request too.
      while (!ownRepeatChanges_.empty() && ownRepeatChanges_.front() < notify->serial) ownRepeatChanges_.pop_front();
      if (!ownRepeatChanges_.empty() && ownRepeatChanges_.front() == notify->serial) {
        ownRepeatChanges_.pop_front();
      } else {
        perKeyRepeatKnown_ = false;
      }
      break;
    }
    default:
      break;
  }
}

X11KeyboardState X11Keyboard::state() {
  if (state_ && stateSerial_ >= changeSerial_) return *state_;
  XkbStateRec rec{};
  if (XkbGetState(display_, XkbUseCoreKbd, &rec) != Success) return state_.value_or(X11KeyboardState{});
  state_ = X11KeyboardState{rec.base_mods, rec.locked_mods, rec.group};
  stateSerial_ = LastKnownRequestProcessed(display_);
  return *state_;
}

void X11Keyboard::noteStateChange() { changeSerial_ = NextRequest(display_) - 1; }

bool X11Keyboard::fetchPerKeyRepeat() {
  if (!controls_) {
    controls_ = XkbAllocKeyboard();
    if (!controls_) return false;
    controls_->device_spec = XkbUseCoreKbd;
  }
  perKeyRepeatKnown_ = XkbGetControls(display_, XkbPerKeyRepeatMask, controls_) == Success && controls_->ctrls;
  ownRepeatChanges_.clear();
  return perKeyRepeatKnown_;
}

bool X11Keyboard::keyRepeats(KeyCode keycode) {
  if (!perKeyRepeatKnown_ && !fetchPerKeyRepeat()) return false;
  return (controls_->ctrls->per_key_repeat[keycode / 8] >> (keycode % 8)) & 1;
}

void X11Keyboard::setKeyRepeats(KeyCode keycode, bool on) {
  if (!perKeyRepeatKnown_ && !fetchPerKeyRepeat()) return;
  unsigned char& bits = controls_->ctrls->per_key_repeat[keycode / 8];
  const auto bit = static_cast<unsigned char>(1u << (keycode % 8));
  bits = on ? (bits | bit) : (bits & ~bit);
  // Through XKB's controls rather than the core request: the core request marks the key's
  // repeat as set explicitly in the keymap, and every client that follows the keymap then
  // reads it again at each press and release.
  XkbSetControls(display_, XkbPerKeyRepeatMask, controls_);
  ownRepeatChanges_.push_back(NextRequest(display_) - 1);
}

void X11Keyboard::reload() {
  dirty_ = false;
  // A new keymap may come with new controls and state.
  perKeyRepeatKnown_ = false;
  state_.reset();
  xkb_keymap* keymap =
      xkb_x11_keymap_new_from_device(context_, XGetXCBConnection(display_), deviceID_, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (!keymap) return;  // keep the last keymap read
  if (keymap_) xkb_keymap_unref(keymap_);
  keymap_ = keymap;
  reverseGroup_.reset();
  reverse_.clear();

  if (char* text = xkb_keymap_get_as_string(keymap_, XKB_KEYMAP_FORMAT_TEXT_V1)) {
    keymapHash_ = std::hash<std::string_view>{}(text);
    std::free(text);
  }

  // Keys by their first symbol, and the spare keys: those with no symbols (keycode 8, the
  // lowest the protocol allows, is left alone: some clients ignore it).
  X11Modifiers mods;
  spares_.clear();
  const xkb_keycode_t minKey = xkb_keymap_min_keycode(keymap_);
  const xkb_keycode_t maxKey = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap_), 255);
  for (xkb_keycode_t key = minKey; key <= maxKey; ++key) {
    if (xkb_keymap_num_layouts_for_key(keymap_, key) == 0) {
      if (key > 8) spares_.push_back(static_cast<KeyCode>(key));
      continue;
    }
    const xkb_keysym_t* syms = nullptr;
    if (xkb_keymap_key_get_syms_by_level(keymap_, key, 0, 0, &syms) < 1) continue;
    auto claim = [&](KeyCode& slot) {
      if (slot == 0) slot = static_cast<KeyCode>(key);
    };
    switch (syms[0]) {
      case XK_Shift_L:
        claim(mods.shiftKey);
        break;
      case XK_Control_L:
        claim(mods.controlKey);
        break;
      case XK_Alt_L:
        claim(mods.altKey);
        break;
      case XK_Super_L:
        claim(mods.superKey);
        break;
      case XK_ISO_Level3_Shift:
        claim(mods.level3Key);
        break;
      default:
        break;
    }
  }

  // The real modifier each of those keys sets, from the server's modifier map.
  if (XModifierKeymap* map = XGetModifierMapping(display_)) {
    for (int m = 0; m < 8; ++m) {
      for (int i = 0; i < map->max_keypermod; ++i) {
        KeyCode key = map->modifiermap[m * map->max_keypermod + i];
        if (key != 0) mods.keysOf[m].push_back(key);
      }
    }
    XFreeModifiermap(map);
  }
  auto maskOf = [&](KeyCode key) -> unsigned {
    if (key == 0) return 0;
    for (int m = 0; m < 8; ++m) {
      for (KeyCode k : mods.keysOf[m]) {
        if (k == key) return 1u << m;
      }
    }
    return 0;
  };
  mods.alt = maskOf(mods.altKey);
  mods.super = maskOf(mods.superKey);
  mods.level3 = maskOf(mods.level3Key);
  if (mods.level3 == 0) mods.level3Key = 0;
  modifiers_ = std::move(mods);

  // The keys whose actions change the state, as seen from a keyboard at rest.
  changesState_.reset();
  for (xkb_keycode_t key = minKey; key <= maxKey; ++key) {
    StatePtr probe(xkb_state_new(keymap_));
    if (probe && xkb_state_update_key(probe.get(), key, XKB_KEY_DOWN) != 0) changesState_.set(key);
  }

  virtualKeys_.fill(0);
  for (uint16_t vk = 0; vk < virtualKeys_.size(); ++vk) {
    auto place = virtualKeyPlace(vk);
    if (!place) continue;
    xkb_keycode_t key = xkb_keymap_key_by_name(keymap_, place->xkbName);
    if (key == XKB_KEYCODE_INVALID || key > 255 || xkb_keymap_num_layouts_for_key(keymap_, key) == 0) {
      key = XKeysymToKeycode(display_, place->keysym);
    }
    virtualKeys_[vk] = static_cast<KeyCode>(key == XKB_KEYCODE_INVALID ? 0 : key);
  }
}

unsigned X11Keyboard::currentGroup() { return state().group; }

std::string X11Keyboard::groupName(unsigned group) const {
  if (!keymap_) return {};
  const char* name = xkb_keymap_layout_get_name(keymap_, group);
  return name ? name : "";
}

KeyCode X11Keyboard::keycodeForVirtualKey(uint16_t virtualKey) const {
  return virtualKey < virtualKeys_.size() ? virtualKeys_[virtualKey] : 0;
}

char32_t X11Keyboard::characterOf(KeyCode keycode, unsigned group, unsigned mods) const {
  if (!keymap_ || keycode == 0) return 0;
  StatePtr state = makeState(keymap_, group, mods);
  return state ? xkb_state_key_get_utf32(state.get(), keycode) : 0;
}

uint32_t X11Keyboard::keysymOf(KeyCode keycode, unsigned group, unsigned mods) const {
  if (!keymap_ || keycode == 0) return 0;
  StatePtr state = makeState(keymap_, group, mods);
  return state ? xkb_state_key_get_one_sym(state.get(), keycode) : 0;
}

std::optional<X11Keystroke> X11Keyboard::keystrokeFor(char32_t c, unsigned group) {
  if (!keymap_) return std::nullopt;
  if (reverseGroup_ != group) {
    reverse_.clear();
    reverseGroup_ = group;
    const unsigned shift = modifiers_.shift, level3 = modifiers_.level3;
    std::vector<unsigned> states{0, shift};
    if (level3 != 0) {
      states.push_back(level3);
      states.push_back(shift | level3);
    }
    const xkb_keycode_t minKey = xkb_keymap_min_keycode(keymap_);
    const xkb_keycode_t maxKey = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap_), 255);
    for (unsigned mods : states) {
      StatePtr state = makeState(keymap_, group, mods);
      if (!state) continue;
      for (xkb_keycode_t key = minKey; key <= maxKey; ++key) {
        char32_t out = xkb_state_key_get_utf32(state.get(), key);
        if (out != 0) reverse_.try_emplace(out, X11Keystroke{static_cast<KeyCode>(key), mods});
      }
    }
  }
  auto it = reverse_.find(c);
  if (it == reverse_.end()) return std::nullopt;
  return it->second;
}

}  // namespace brindlet::platform

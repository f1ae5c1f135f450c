#include "platform/input/EventPoster.h"

#include "platform/input/X11Keyboard.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <xkbcommon/xkbcommon.h>

#include <X11/Xatom.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "platform/log/Log.h"

namespace brindlet::platform {

namespace {

const Logger& inputLog() {
  static const Logger logger("io.tavix.nolu.platform", "input");
  return logger;
}

// Root window properties "<prefix><pid>-<n>", one for each poster holding keys: the pid, then
// each held key code, plus `turnedOffFlag` when the poster turned that key's repeat off.
constexpr std::string_view heldKeysPrefix = "_NOLU_HELD_KEYS_";
constexpr long turnedOffFlag = 0x100;

bool processIsRunning(long pid) {
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::vector<long> readLongs(Display* display, Window window, Atom property) {
  std::vector<long> values;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, property, 0, 1024, False, XA_INTEGER, &type, &format, &count, &after,
                         &data) == Success &&
      type == XA_INTEGER && format == 32 && data) {
    const long* longs = reinterpret_cast<const long*>(data);
    values.assign(longs, longs + count);
  }
  if (data) XFree(data);
  return values;
}

}  // namespace

struct EventPoster::ModifierChange {
  std::vector<KeyCode> pressed;   // modifier keys pressed for the event, released after it
  std::vector<KeyCode> released;  // modifier keys held before, pressed again after it
  std::optional<bool> relock;     // the caps lock state to go back to
};

namespace {

bool isKeyDown(const char keys[32], KeyCode key) { return (keys[key / 8] >> (key % 8)) & 1; }

int bitIndex(unsigned mask) { return __builtin_ctz(mask); }

// UTF-16 to code points; an unpaired surrogate is dropped.
std::u32string decodeUTF16(std::u16string_view units) {
  std::u32string out;
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        out.push_back(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
        ++i;
      }
      continue;
    }
    if (u >= 0xDC00 && u <= 0xDFFF) continue;
    out.push_back(u);
  }
  return out;
}

// A coordinate X accepts, nothing for values that are not finite.
std::optional<int> pixel(double v) {
  if (!std::isfinite(v)) return std::nullopt;
  return static_cast<int>(std::lround(std::clamp(v, -32768.0, 32767.0)));
}

}  // namespace

EventPoster::EventPoster() {
  display_ = XOpenDisplay(nullptr);
  if (!display_) return;
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display_, &event, &error, &major, &minor)) {
    XCloseDisplay(display_);
    display_ = nullptr;
    return;
  }
  keyboard_ = std::make_unique<X11Keyboard>(display_);
}

EventPoster::~EventPoster() {
  if (display_ && !repeatOff_.empty()) {
    while (!repeatOff_.empty()) restoreRepeat(repeatOff_.begin()->first);
    recordHeldKeys();
  }
  if (display_ && keyboard_->isUsable()) unmapSpareKeys();
  keyboard_.reset();
  if (display_) XCloseDisplay(display_);
}

EventPoster::ModifierChange EventPoster::applyModifiers(unsigned wanted, bool wantLock) {
  ModifierChange change;
  // The modifiers held come from the keyboard's state; which keys hold them is asked only
  // when one has to be released.
  const X11KeyboardState state = keyboard_->state();
  std::optional<std::array<char, 32>> keys;
  const X11Modifiers& m = keyboard_->modifiers();
  const std::pair<unsigned, KeyCode> managed[] = {{m.shift, m.shiftKey},
                                                  {m.control, m.controlKey},
                                                  {m.alt, m.altKey},
                                                  {m.super, m.superKey},
                                                  {m.level3, m.level3Key}};
  for (auto [mask, key] : managed) {
    if (mask == 0) continue;
    const bool active = (state.baseMods & mask) != 0;
    if ((wanted & mask) && !active && key != 0) {
      fakeKey(key, true);
      change.pressed.push_back(key);
    } else if (!(wanted & mask) && active) {
      if (!keys) {
        keys.emplace();
        XQueryKeymap(display_, keys->data());
      }
      for (KeyCode k : m.keysOf[bitIndex(mask)]) {
        if (!isKeyDown(keys->data(), k)) continue;
        fakeKey(k, false);
        change.released.push_back(k);
        (*keys)[k / 8] &= static_cast<char>(~(1 << (k % 8)));
      }
    }
  }
  const bool locked = (state.lockedMods & LockMask) != 0;
  if (locked != wantLock) {
    lockCaps(wantLock);
    change.relock = locked;
  }
  return change;
}

void EventPoster::undo(const ModifierChange& change) {
  for (auto it = change.pressed.rbegin(); it != change.pressed.rend(); ++it) fakeKey(*it, false);
  for (KeyCode k : change.released) fakeKey(k, true);
  if (change.relock) lockCaps(*change.relock);
}

void EventPoster::fakeKey(unsigned char keycode, bool down) {
  XTestFakeKeyEvent(display_, keycode, down ? True : False, CurrentTime);
  if (keyboard_->changesState(keycode)) keyboard_->noteStateChange();
}

void EventPoster::lockCaps(bool on) {
  XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, on ? LockMask : 0);
  keyboard_->noteStateChange();
}

// The X server repeats a held key on the master keyboard, whichever device pressed it, and
// the XTest keyboard's own controls do not stop it. So a key pressed here has its
// auto-repeat turned off from just before the press until its release, and then set back as
// it was: a key the device holds (or leaves down when it vanishes) never types again by
// itself, and the user's keyboard keeps repeating every other key.
bool EventPoster::holdWithoutRepeat(unsigned char keycode) {
  if (repeatOff_.count(keycode)) return false;
  const bool repeats = keyboard_->keyRepeats(keycode);
  if (repeats) keyboard_->setKeyRepeats(keycode, false);
  repeatOff_[keycode] = repeats;
  return true;
}

bool EventPoster::restoreRepeat(unsigned char keycode) {
  auto found = repeatOff_.find(keycode);
  if (found == repeatOff_.end()) return false;
  if (found->second) keyboard_->setKeyRepeats(keycode, true);
  repeatOff_.erase(found);
  return true;
}

void EventPoster::sendThenRecord(bool heldKeysChanged) {
  XFlush(display_);
  if (!heldKeysChanged) return;
  // The record goes out only once the key has: every client that watches the root window
  // (the window manager, panels) is told of each change of it, and the server would
  // deliver the key only after those notices.
  recordHeldKeys();
  XFlush(display_);
}

void EventPoster::recordHeldKeys() {
  const Window root = DefaultRootWindow(display_);
  if (repeatOff_.empty()) {
    if (heldKeysAtom_ != None) XDeleteProperty(display_, root, heldKeysAtom_);
    return;
  }
  if (heldKeysAtom_ == None) {
    static std::atomic<unsigned> posters{0};
    const std::string name = std::string(heldKeysPrefix) + std::to_string(getpid()) + "-" + std::to_string(++posters);
    heldKeysAtom_ = XInternAtom(display_, name.c_str(), False);
  }
  std::vector<long> values{static_cast<long>(getpid())};
  for (const auto& [key, turnedOff] : repeatOff_) values.push_back(key | (turnedOff ? turnedOffFlag : 0));
  XChangeProperty(display_, root, heldKeysAtom_, XA_INTEGER, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
}

int EventPoster::releaseKeysOfEndedPosters() {
  std::lock_guard lock(mutex_);
  if (!display_) return 0;
  const Window root = DefaultRootWindow(display_);
  int count = 0;
  Atom* properties = XListProperties(display_, root, &count);
  std::vector<Atom> records;
  for (int i = 0; i < count; ++i) {
    char* name = XGetAtomName(display_, properties[i]);
    if (name && std::string_view(name).starts_with(heldKeysPrefix)) records.push_back(properties[i]);
    if (name) XFree(name);
  }
  if (properties) XFree(properties);

  int released = 0;
  for (Atom record : records) {
    const std::vector<long> values = readLongs(display_, root, record);
    if (!values.empty() && processIsRunning(values[0])) continue;  // its poster may still hold them
    char down[32] = {};
    XQueryKeymap(display_, down);
    for (std::size_t i = 1; i < values.size(); ++i) {
      const long key = values[i] & 0xff;
      if (key < 8) continue;  // not a key code
      const auto keycode = static_cast<KeyCode>(key);
      if (isKeyDown(down, keycode)) fakeKey(keycode, false);
      if ((values[i] & turnedOffFlag) && !keyboard_->keyRepeats(keycode)) keyboard_->setKeyRepeats(keycode, true);
      ++released;
    }
    XDeleteProperty(display_, root, record);
    inputLog().notice("released %zu keys that process %ld left held", values.empty() ? 0 : values.size() - 1,
                      values.empty() ? 0L : values[0]);
  }
  // Carried out by the server before this says so: what runs next sees the keys up.
  XSync(display_, False);
  return released;
}

void EventPoster::tapKey(unsigned char keycode, unsigned mods, bool lock) {
  ModifierChange change = applyModifiers(mods, lock);
  fakeKey(keycode, true);
  fakeKey(keycode, false);
  undo(change);
}

bool EventPoster::postKeyboard(const KeyboardEvent& event) {
  std::lock_guard lock(mutex_);
  if (!display_ || !keyboard_->isUsable()) return false;
  keyboard_->refresh();
  const KeyCode key = keyboard_->keycodeForVirtualKey(event.virtualKey);
  if (key == 0) return false;
  if (event.flagsChanged || !event.isDown) {
    // A modifier key itself, or a release: the key alone, the held modifiers stay.
    const bool held = event.isDown && holdWithoutRepeat(key);
    fakeKey(key, event.isDown);
    const bool released = !event.isDown && restoreRepeat(key);
    sendThenRecord(held || released);
    return true;
  }
  // A key press sees exactly the modifiers of its flags, as on the Mac. Option is the
  // third shift level where this key has one on the current layout, else Alt.
  const X11Modifiers& m = keyboard_->modifiers();
  const uint64_t flags = event.flags;
  unsigned wanted = 0;
  if (flags & event_flags::shift) wanted |= m.shift;
  if (flags & event_flags::control) wanted |= m.control;
  if (flags & event_flags::command) wanted |= m.super;
  if (flags & event_flags::alternate) {
    const unsigned group = keyboard_->currentGroup();
    const unsigned base = wanted & m.shift;
    const uint32_t plain = keyboard_->keysymOf(key, group, base);
    const uint32_t third = m.level3 ? keyboard_->keysymOf(key, group, base | m.level3) : 0;
    wanted |= (third != 0 && third != plain) ? m.level3 : m.alt;
  }
  ModifierChange change = applyModifiers(wanted, (flags & event_flags::alphaShift) != 0);
  const bool held = holdWithoutRepeat(key);
  fakeKey(key, true);
  undo(change);
  sendThenRecord(held);
  return true;
}

bool EventPoster::typeCharacter(char32_t c, unsigned group) {
  auto stroke = keyboard_->keystrokeFor(c, group);
  if (!stroke) {
    const KeySym sym = xkb_utf32_to_keysym(c);
    if (sym == NoSymbol || !mapSpareKey(sym)) return false;
    stroke = keyboard_->keystrokeFor(c, group);
    if (!stroke) return false;
  }
  auto used = std::find_if(mapped_.begin(), mapped_.end(), [&](const auto& m) { return m.first == stroke->keycode; });
  if (used != mapped_.end()) std::rotate(used, used + 1, mapped_.end());
  tapKey(stroke->keycode, stroke->mods, false);
  return true;
}

bool EventPoster::mapSpareKey(unsigned long keysym) {
  // A key without symbols, else the spare key this poster used least recently.
  KeyCode key = 0;
  const auto& spares = keyboard_->spareKeycodes();
  if (!spares.empty()) {
    key = spares.back();
  } else if (!mapped_.empty()) {
    key = mapped_.front().first;
  } else {
    return false;
  }
  std::erase_if(mapped_, [&](const auto& m) { return m.first == key; });
  mapped_.emplace_back(key, keysym);
  KeySym sym = keysym;
  XChangeKeyboardMapping(display_, key, 1, &sym, 1);
  XSync(display_, False);
  keyboard_->refresh();
  return true;
}

void EventPoster::unmapSpareKeys() {
  keyboard_->refresh();
  for (auto [key, sym] : mapped_) {
    // Only keys that still carry what this poster put there (the keymap may be new).
    const auto& m = keyboard_->modifiers();
    if (keyboard_->keysymOf(key, 0, 0) != sym && keyboard_->keysymOf(key, 0, m.shift) != sym) continue;
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(display_, key, 1, &none, 1);
  }
  mapped_.clear();
  XSync(display_, False);
}

bool EventPoster::postUnicodeString(std::u16string_view units, bool isDown) {
  std::lock_guard lock(mutex_);
  if (!display_ || !keyboard_->isUsable()) return false;
  if (!isDown) return true;
  keyboard_->refresh();
  const unsigned group = keyboard_->currentGroup();
  bool typedAll = true;
  char32_t previous = 0;
  for (char32_t c : decodeUTF16(units)) {
    // Line breaks are the Return key; a CR LF pair is one.
    const char32_t typed = c == U'\n' ? U'\r' : c;
    if (!(c == U'\n' && previous == U'\r')) {
      keyboard_->refresh();
      typedAll = typeCharacter(typed, group) && typedAll;
    }
    previous = c;
  }
  XFlush(display_);
  return typedAll;
}

bool EventPoster::postMouse(const MouseEvent& event) {
  std::lock_guard lock(mutex_);
  if (!display_) return false;
  const auto x = pixel(event.location.x), y = pixel(event.location.y);
  if (!x || !y) return false;
  unsigned button = 0;
  bool press = false;
  switch (event.type) {
    case MouseEventType::leftMouseDown:
      button = 1, press = true;
      break;
    case MouseEventType::leftMouseUp:
      button = 1;
      break;
    case MouseEventType::rightMouseDown:
      button = 3, press = true;
      break;
    case MouseEventType::rightMouseUp:
      button = 3;
      break;
    case MouseEventType::otherMouseDown:
      button = 2, press = true;
      break;
    case MouseEventType::otherMouseUp:
      button = 2;
      break;
    case MouseEventType::mouseMoved:
    case MouseEventType::leftMouseDragged:
    case MouseEventType::rightMouseDragged:
    case MouseEventType::otherMouseDragged:
      break;
  }
  XTestFakeMotionEvent(display_, -1, *x, *y, CurrentTime);
  if (button != 0) XTestFakeButtonEvent(display_, button, press ? True : False, CurrentTime);
  XFlush(display_);
  return true;
}

bool EventPoster::postScroll(const ScrollWheelEvent& event) {
  std::lock_guard lock(mutex_);
  if (!display_) return false;
  if (event.scrollPhase == 1) scrollRemainderX_ = scrollRemainderY_ = 0;
  // Pixels add up until they make whole wheel steps; X buttons 4/5 scroll up/down, 6/7
  // left/right.
  auto steps = [](double& remainder, int32_t pixels) {
    remainder += pixels;
    const double whole = std::trunc(remainder / pixelsPerWheelStep);
    remainder -= whole * pixelsPerWheelStep;
    return static_cast<int>(whole);
  };
  auto click = [&](unsigned button, int count) {
    for (int i = 0; i < count; ++i) {
      XTestFakeButtonEvent(display_, button, True, CurrentTime);
      XTestFakeButtonEvent(display_, button, False, CurrentTime);
    }
  };
  const int vertical = steps(scrollRemainderY_, event.wheel1);
  const int horizontal = steps(scrollRemainderX_, event.wheel2);
  click(vertical > 0 ? 4 : 5, std::abs(vertical));
  click(horizontal > 0 ? 6 : 7, std::abs(horizontal));
  XFlush(display_);
  return true;
}

std::optional<GlobalPoint> EventPoster::pointerLocation() {
  std::lock_guard lock(mutex_);
  if (!display_) return std::nullopt;
  Window root = 0, child = 0;
  int rootX = 0, rootY = 0, winX = 0, winY = 0;
  unsigned mask = 0;
  if (!XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rootX, &rootY, &winX, &winY, &mask)) {
    return std::nullopt;
  }
  return GlobalPoint{static_cast<double>(rootX), static_cast<double>(rootY)};
}

std::vector<GlobalRect> EventPoster::activeDisplayBounds() {
  std::lock_guard lock(mutex_);
  std::vector<GlobalRect> bounds;
  if (!display_) return bounds;
  int count = 0;
  if (XRRMonitorInfo* monitors = XRRGetMonitors(display_, DefaultRootWindow(display_), True, &count)) {
    std::vector<std::pair<bool, GlobalRect>> found;
    for (int i = 0; i < count; ++i) {
      const XRRMonitorInfo& m = monitors[i];
      found.push_back({m.primary != 0, GlobalRect{double(m.x), double(m.y), double(m.width), double(m.height)}});
    }
    XRRFreeMonitors(monitors);
    std::stable_partition(found.begin(), found.end(), [](const auto& f) { return f.first; });
    for (const auto& f : found) bounds.push_back(f.second);
  }
  if (bounds.empty()) {
    const int screen = DefaultScreen(display_);
    bounds.push_back(GlobalRect{0, 0, double(DisplayWidth(display_, screen)), double(DisplayHeight(display_, screen))});
  }
  return bounds;
}

}  // namespace brindlet::platform

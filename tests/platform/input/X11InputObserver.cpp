#include "platform/input/X11InputObserver.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <xkbcommon/xkbcommon.h>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace brindlet::test {

X11InputObserver::X11InputObserver() {
  display_ = XOpenDisplay(nullptr);
  if (!display_) return;
  int opcode = 0, errorBase = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  XkbQueryExtension(display_, &opcode, &xkbEventBase_, &errorBase, &major, &minor);
  const unsigned long xkbEvents = XkbNewKeyboardNotifyMask | XkbMapNotifyMask;
  XkbSelectEvents(display_, XkbUseCoreKbd, xkbEvents, xkbEvents);
  reloadKeymap();

  const int screen = DefaultScreen(display_);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.event_mask =
      KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | StructureNotifyMask;
  Window window = XCreateWindow(display_, RootWindow(display_, screen), 0, 0, DisplayWidth(display_, screen),
                                DisplayHeight(display_, screen), 0, CopyFromParent, InputOutput, CopyFromParent,
                                CWOverrideRedirect | CWEventMask, &attributes);
  XMapRaised(display_, window);
  // Wait until it is mapped, then take the keyboard focus.
  XEvent event;
  do {
    XWindowEvent(display_, window, StructureNotifyMask, &event);
  } while (event.type != MapNotify);
  XSetInputFocus(display_, window, RevertToParent, CurrentTime);
  XSync(display_, False);
  window_ = window;
}

X11InputObserver::~X11InputObserver() {
  if (keymap_) XkbFreeKeyboard(keymap_, XkbAllComponentsMask, True);
  if (display_) XCloseDisplay(display_);
}

void X11InputObserver::reloadKeymap() {
  if (keymap_) XkbFreeKeyboard(keymap_, XkbAllComponentsMask, True);
  keymap_ = XkbGetMap(display_, XkbAllClientInfoMask, XkbUseCoreKbd);
}

void X11InputObserver::readPending() {
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == MappingNotify) {
      XRefreshKeyboardMapping(&event.xmapping);
      reloadKeymap();
      continue;
    }
    if (event.type == xkbEventBase_) {
      reloadKeymap();
      continue;
    }
    ObservedEvent seen{};
    switch (event.type) {
      case KeyPress:
      case KeyRelease: {
        seen.kind = event.type == KeyPress ? ObservedEvent::Kind::keyPress : ObservedEvent::Kind::keyRelease;
        seen.keycode = event.xkey.keycode;
        seen.state = event.xkey.state;
        seen.x = event.xkey.x_root, seen.y = event.xkey.y_root;
        seen.time = event.xkey.time;
        unsigned consumed = 0;
        KeySym sym = NoSymbol;
        if (keymap_) XkbTranslateKeyCode(keymap_, event.xkey.keycode, event.xkey.state, &consumed, &sym);
        // XKB leaves the case to the client: Lock (without a consumed shift) makes it upper case.
        if ((event.xkey.state & LockMask) && !(consumed & LockMask)) {
          KeySym lower = 0, upper = 0;
          XConvertCase(sym, &lower, &upper);
          sym = upper;
        }
        seen.keysym = sym;
        break;
      }
      case ButtonPress:
      case ButtonRelease:
        seen.kind = event.type == ButtonPress ? ObservedEvent::Kind::buttonPress : ObservedEvent::Kind::buttonRelease;
        seen.button = event.xbutton.button;
        seen.state = event.xbutton.state;
        seen.x = event.xbutton.x_root, seen.y = event.xbutton.y_root;
        seen.time = event.xbutton.time;
        break;
      case MotionNotify:
        seen.kind = ObservedEvent::Kind::motion;
        seen.state = event.xmotion.state;
        seen.x = event.xmotion.x_root, seen.y = event.xmotion.y_root;
        seen.time = event.xmotion.time;
        break;
      default:
        continue;
    }
    events_.push_back(seen);
  }
}

bool X11InputObserver::waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    readPending();
    if (done()) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{ConnectionNumber(display_), POLLIN, 0};
    poll(&fd, 1, static_cast<int>(std::min<long>(left.count(), 50)));
  }
}

std::optional<ObservedEvent> X11InputObserver::waitForKeyTap() {
  std::optional<ObservedEvent> press;
  const bool seen = waitFor([&] {
    press.reset();
    for (const ObservedEvent& e : keys()) {
      if (e.kind == ObservedEvent::Kind::keyPress && !IsModifierKey(e.keysym)) press = e;
      if (e.kind == ObservedEvent::Kind::keyRelease && press && e.keycode == press->keycode) return true;
    }
    return false;
  });
  return seen ? press : std::nullopt;
}

std::string X11InputObserver::waitForTextBefore(char marker) {
  waitFor([&] {
    const std::string text = typedText();
    return !text.empty() && text.back() == marker;
  });
  std::string text = typedText();
  if (!text.empty() && text.back() == marker) text.pop_back();
  return text;
}

std::string X11InputObserver::typedText() const {
  std::string text;
  for (const ObservedEvent& e : events_) {
    if (e.kind != ObservedEvent::Kind::keyPress) continue;
    if (e.keysym == XK_Return || e.keysym == XK_KP_Enter) {
      text += '\n';
      continue;
    }
    char buffer[8] = {};
    const int n = xkb_keysym_to_utf8(static_cast<xkb_keysym_t>(e.keysym), buffer, sizeof buffer);
    const bool control = n == 2 && static_cast<unsigned char>(buffer[0]) < 0x20 && buffer[0] != '\t';
    if (n > 1 && !control) text.append(buffer, n - 1);
  }
  return text;
}

KeyboardLayoutGuard::KeyboardLayoutGuard() {
  if (FILE* query = popen("setxkbmap -query", "r")) {
    char line[256];
    while (fgets(line, sizeof line, query)) {
      std::string text(line);
      auto value = [&](const char* key) -> std::optional<std::string> {
        if (text.rfind(key, 0) != 0) return std::nullopt;
        std::string v = text.substr(text.find(':') + 1);
        v.erase(0, v.find_first_not_of(' '));
        v.erase(v.find_last_not_of(" \n") + 1);
        return v;
      };
      if (auto v = value("layout:")) layout_ = *v;
      if (auto v = value("variant:")) variant_ = *v;
    }
    pclose(query);
  }
}

KeyboardLayoutGuard::~KeyboardLayoutGuard() {
  std::string command = "setxkbmap -layout '" + (layout_.empty() ? std::string("us") : layout_) + "'";
  if (!variant_.empty()) command += " -variant '" + variant_ + "'";
  set(command);
}

bool KeyboardLayoutGuard::set(const std::string& command) { return std::system(command.c_str()) == 0; }

std::vector<ObservedEvent> X11InputObserver::of(ObservedEvent::Kind kind) const {
  std::vector<ObservedEvent> out;
  for (const ObservedEvent& e : events_) {
    if (e.kind == kind) out.push_back(e);
  }
  return out;
}

std::vector<ObservedEvent> X11InputObserver::keys() const {
  std::vector<ObservedEvent> out;
  for (const ObservedEvent& e : events_) {
    if (e.kind == ObservedEvent::Kind::keyPress || e.kind == ObservedEvent::Kind::keyRelease) out.push_back(e);
  }
  return out;
}

}  // namespace brindlet::test

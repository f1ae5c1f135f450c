#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct _XkbDesc;

namespace brindlet::test {

// What an X client sees of injected input.
struct ObservedEvent {
  enum class Kind { keyPress, keyRelease, buttonPress, buttonRelease, motion };
  Kind kind;
  unsigned keycode = 0;
  unsigned long keysym = 0;  // for keys: the keysym under the event's state
  unsigned state = 0;        // modifier and button state before the event
  unsigned button = 0;
  int x = 0, y = 0;        // root coordinates
  unsigned long time = 0;  // server time in milliseconds
};

// A plain override-redirect window of our own over the whole screen, with the keyboard
// focus, that records the keys, buttons and motion it receives. Keysyms are looked up in
// a keymap read again after every keymap notification, as a careful X client does.
class X11InputObserver {
 public:
  X11InputObserver();
  ~X11InputObserver();

  bool isReady() const { return window_ != 0; }
  // Reads events until `done` holds or `limit` passes; true when it held.
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5));
  const std::vector<ObservedEvent>& events() const { return events_; }
  void clear() { events_.clear(); }
  // Waits for the press of a key that is not a modifier and its release; the press.
  std::optional<ObservedEvent> waitForKeyTap();
  // Waits for the text typed so far to end in `marker` (typed last); the text before it.
  std::string waitForTextBefore(char marker);
  // The text of the key presses seen so far (Return as "\n").
  std::string typedText() const;
  // Key presses and releases only.
  std::vector<ObservedEvent> keys() const;
  std::vector<ObservedEvent> of(ObservedEvent::Kind kind) const;

 private:
  void readPending();
  void reloadKeymap();

  Display* display_ = nullptr;
  Window window_ = 0;
  int xkbEventBase_ = 0;
  ::_XkbDesc* keymap_ = nullptr;
  std::vector<ObservedEvent> events_;
};

// Keeps the keyboard layout of the X server as it was: switch with `set("setxkbmap de")`;
// the layout found at construction comes back at destruction.
class KeyboardLayoutGuard {
 public:
  KeyboardLayoutGuard();
  ~KeyboardLayoutGuard();
  static bool set(const std::string& command);

 private:
  std::string layout_, variant_;
};

}  // namespace brindlet::test

#include <gtest/gtest.h>

#include "platform/input/EventPoster.h"
#include "platform/input/KeyboardLayoutSource.h"
#include "platform/input/X11InputObserver.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>

namespace brindlet::platform {
namespace {

using test::KeyboardLayoutGuard;
using test::ObservedEvent;
using test::X11InputObserver;
using Kind = ObservedEvent::Kind;

constexpr unsigned kModifierState = ShiftMask | LockMask | ControlMask | Mod1Mask | Mod4Mask | Mod5Mask;

std::u16string utf16(std::u32string_view text) {
  std::u16string out;
  for (char32_t c : text) {
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

class EventPosterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(observer.isReady()) << "needs an X server (DISPLAY)";
    ASSERT_TRUE(poster.isAvailable());
  }

  // Presses and releases one virtual key; returns the press of the key itself as seen.
  std::optional<ObservedEvent> tap(uint16_t virtualKey, uint64_t flags) {
    observer.clear();
    EXPECT_TRUE(poster.postKeyboard({virtualKey, true, flags, false}));
    EXPECT_TRUE(poster.postKeyboard({virtualKey, false, flags, false}));
    return observer.waitForKeyTap();
  }

  std::string type(std::u32string_view text) {
    observer.clear();
    EXPECT_TRUE(poster.postUnicodeString(utf16(text), true));
    EXPECT_TRUE(poster.postUnicodeString(utf16(text), false));
    poster.postUnicodeString(u"#", true);
    return observer.waitForTextBefore('#');
  }

  X11InputObserver observer;
  EventPoster poster;
};

struct KeyCase {
  uint16_t virtualKey;
  uint64_t flags;
  unsigned long keysym;
  unsigned state;
};

TEST_F(EventPosterTest, KeysArriveWithExactlyTheModifiersOfTheirFlags) {
  KeyboardLayoutGuard layout;
  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap us"));
  using namespace event_flags;
  const KeyCase cases[] = {
      {0, 0, XK_a, 0},
      {0, shift, XK_A, ShiftMask},
      {18, shift, XK_exclam, ShiftMask},
      {16, 0, XK_y, 0},
      {0, control, XK_a, ControlMask},
      {0, alternate, XK_a, Mod1Mask},
      {0, command, XK_a, Mod4Mask},
      {0, alphaShift, XK_A, LockMask},
      {0, shift | control | alternate | command, XK_A, ShiftMask | ControlMask | Mod1Mask | Mod4Mask},
      {36, 0, XK_Return, 0},
      {51, 0, XK_BackSpace, 0},
      {123, shift, XK_Left, ShiftMask},
      {122, 0, XK_F1, 0},
      {111, 0, XK_F12, 0},
      {117, 0, XK_Delete, 0},
      {50, 0, XK_grave, 0},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "virtual key " << c.virtualKey << " flags " << std::hex << c.flags);
    auto press = tap(c.virtualKey, c.flags);
    ASSERT_TRUE(press);
    EXPECT_EQ(press->keysym, c.keysym);
    EXPECT_EQ(press->state & kModifierState, c.state);
  }
  // Nothing is left held or locked.
  auto plain = tap(0, 0);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->state & kModifierState, 0u);
  EXPECT_EQ(plain->keysym, static_cast<unsigned long>(XK_a));
}

TEST_F(EventPosterTest, HeldModifierKeysGiveWayToTheFlagsOfEachKey) {
  KeyboardLayoutGuard layout;
  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap us"));
  ASSERT_TRUE(poster.postKeyboard({56, true, event_flags::shift, true}));  // left shift down
  struct Release {
    EventPoster& poster;
    ~Release() { poster.postKeyboard({56, false, 0, true}); }
  } release{poster};
  auto shifted = tap(0, event_flags::shift);
  auto unshifted = tap(0, 0);
  auto again = tap(0, event_flags::shift);
  ASSERT_TRUE(shifted && unshifted && again);
  EXPECT_EQ(shifted->keysym, static_cast<unsigned long>(XK_A));
  EXPECT_EQ(unshifted->keysym, static_cast<unsigned long>(XK_a));
  EXPECT_EQ(unshifted->state & kModifierState, 0u);
  EXPECT_EQ(again->keysym, static_cast<unsigned long>(XK_A));
  ASSERT_TRUE(poster.postKeyboard({56, false, 0, true}));
  auto released = tap(0, 0);
  ASSERT_TRUE(released);
  EXPECT_EQ(released->state & kModifierState, 0u);
  // The Fn key has no X key.
  EXPECT_FALSE(poster.postKeyboard({63, true, event_flags::secondaryFn, true}));
}

bool repeats(Display* display, unsigned keycode) {
  XKeyboardState state{};
  XGetKeyboardControl(display, &state);
  return (state.auto_repeats[keycode / 8] >> (keycode % 8)) & 1;
}

// A key held from the device is pressed once however long it is held: the X server's
// auto-repeat is not applied to it, and the key repeats again as before once released.
TEST_F(EventPosterTest, AHeldKeyIsPressedOnceAndDoesNotAutoRepeat) {
  KeyboardLayoutGuard layout;
  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap us"));
  Display* display = XOpenDisplay(nullptr);
  ASSERT_TRUE(display);
  unsigned delay = 0, interval = 0;
  ASSERT_TRUE(XkbGetAutoRepeatRate(display, XkbUseCoreKbd, &delay, &interval));
  const unsigned keycode = XKeysymToKeycode(display, XK_a);
  ASSERT_TRUE(repeats(display, keycode)) << "the server should repeat the key to begin with";

  observer.clear();
  ASSERT_TRUE(poster.postKeyboard({0, true, 0, false}));
  observer.waitFor([] { return false; }, std::chrono::milliseconds(delay + 10 * interval + 300));
  ASSERT_TRUE(poster.postKeyboard({0, false, 0, false}));
  observer.waitFor([&] { return !observer.of(Kind::keyRelease).empty(); });
  EXPECT_EQ(observer.of(Kind::keyPress).size(), 1u);
  EXPECT_EQ(observer.of(Kind::keyRelease).size(), 1u);
  EXPECT_TRUE(repeats(display, keycode));

  // Left down when the poster goes (a device that vanished): still no repeat, and the key's
  // setting is given back.
  {
    EventPoster other;
    ASSERT_TRUE(other.postKeyboard({0, true, 0, false}));
    XSync(display, False);
    EXPECT_FALSE(repeats(display, keycode));
  }
  EXPECT_TRUE(repeats(display, keycode));
  ASSERT_TRUE(poster.postKeyboard({0, false, 0, false}));
  XCloseDisplay(display);
}

bool isDown(Display* display, unsigned keycode) {
  char keys[32] = {};
  XQueryKeymap(display, keys);
  return (keys[keycode / 8] >> (keycode % 8)) & 1;
}

// How many keys the posters of process `pid` list as held on the root window.
std::size_t keysRecordedBy(Display* display, pid_t pid) {
  const std::string prefix = "_NOLU_HELD_KEYS_" + std::to_string(pid) + "-";
  std::size_t keys = 0;
  int count = 0;
  Atom* properties = XListProperties(display, DefaultRootWindow(display), &count);
  for (int i = 0; i < count; ++i) {
    char* name = XGetAtomName(display, properties[i]);
    if (name && std::string_view(name).starts_with(prefix)) {
      Atom type = None;
      int format = 0;
      unsigned long items = 0, after = 0;
      unsigned char* data = nullptr;
      if (XGetWindowProperty(display, DefaultRootWindow(display), properties[i], 0, 1024, False, XA_INTEGER, &type,
                             &format, &items, &after, &data) == Success &&
          items > 0) {
        keys += items - 1;  // after the pid
      }
      if (data) XFree(data);
    }
    if (name) XFree(name);
  }
  if (properties) XFree(properties);
  return keys;
}

void setRepeat(Display* display, unsigned keycode, bool on) {
  XKeyboardControl control{};
  control.key = static_cast<int>(keycode);
  control.auto_repeat_mode = on ? AutoRepeatModeOn : AutoRepeatModeOff;
  XChangeKeyboardControl(display, KBKey | KBAutoRepeatMode, &control);
  XSync(display, False);
}

// A host killed while the device holds keys leaves them down without repeat. The next
// start releases them and gives back the repeat it took, and leaves alone the keys of a
// process still running and a repeat the user had turned off.
TEST_F(EventPosterTest, KeysLeftHeldByAKilledProcessAreReleasedAndRepeatAgain) {
  KeyboardLayoutGuard layout;
  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap us"));
  Display* display = XOpenDisplay(nullptr);
  ASSERT_TRUE(display);
  const unsigned a = XKeysymToKeycode(display, XK_a), s = XKeysymToKeycode(display, XK_s),
                 d = XKeysymToKeycode(display, XK_d);
  ASSERT_TRUE(repeats(display, s));
  EventPoster().releaseKeysOfEndedPosters();  // what an earlier run may have left
  setRepeat(display, d, false);               // the user's own setting

  // Another process holds s and d, then is killed.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    EventPoster held;
    const bool ok = held.postKeyboard({1, true, 0, false}) && held.postKeyboard({2, true, 0, false});
    const char byte = ok ? 1 : 0;
    if (write(ready[1], &byte, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char byte = 0;
  const bool childHeld = read(ready[0], &byte, 1) == 1 && byte == 1;
  // The server has carried out what the child asked (the presses, then its record) before
  // the child goes.
  for (int i = 0; i < 500 && childHeld && !(isDown(display, s) && isDown(display, d) && keysRecordedBy(display, child) == 2);
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  ASSERT_TRUE(childHeld);
  // This process holds a.
  ASSERT_TRUE(poster.postKeyboard({0, true, 0, false}));
  XSync(display, False);
  EXPECT_TRUE(isDown(display, s));
  EXPECT_FALSE(repeats(display, s));

  EventPoster next;
  EXPECT_EQ(next.releaseKeysOfEndedPosters(), 2);
  XSync(display, False);
  struct Expected {
    const char* key;
    unsigned keycode;
    bool down;
    bool repeating;
  };
  for (const Expected& e : {Expected{"s: released, repeats again", s, false, true},
                            Expected{"d: released, the user's setting kept", d, false, false},
                            Expected{"a: held by a running process", a, true, false}}) {
    SCOPED_TRACE(e.key);
    EXPECT_EQ(isDown(display, e.keycode), e.down);
    EXPECT_EQ(repeats(display, e.keycode), e.repeating);
  }
  EXPECT_EQ(next.releaseKeysOfEndedPosters(), 0) << "each record is acted on once";

  ASSERT_TRUE(poster.postKeyboard({0, false, 0, false}));
  EXPECT_EQ(next.releaseKeysOfEndedPosters(), 0);
  setRepeat(display, d, true);
  XCloseDisplay(display);
}

// Keymap notifications a client that follows the keymap receives, once the server has
// carried out everything asked so far.
int keymapNotifications(Display* display, int xkbEventBase) {
  XSync(display, False);
  int count = 0;
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MappingNotify) ++count;
    if (event.type == xkbEventBase) {
      const int kind = reinterpret_cast<const XkbAnyEvent*>(&event)->xkb_type;
      if (kind == XkbMapNotify || kind == XkbNewKeyboardNotify) ++count;
    }
  }
  return count;
}

// Holding a key without repeat leaves the keymap alone, so clients do not read it again at
// every key; a repeat setting changed by another client meanwhile is still honoured.
TEST_F(EventPosterTest, HoldingKeysChangesNoKeymapAndFollowsRepeatSetElsewhere) {
  KeyboardLayoutGuard layout;
  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap us"));
  Display* display = XOpenDisplay(nullptr);
  ASSERT_TRUE(display);
  int opcode = 0, xkbEventBase = 0, errorBase = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  ASSERT_TRUE(XkbQueryExtension(display, &opcode, &xkbEventBase, &errorBase, &major, &minor));
  XkbSelectEvents(display, XkbUseCoreKbd, XkbNewKeyboardNotifyMask | XkbMapNotifyMask,
                  XkbNewKeyboardNotifyMask | XkbMapNotifyMask);
  const unsigned a = XKeysymToKeycode(display, XK_a);
  keymapNotifications(display, xkbEventBase);

  // A round trip of the poster's own (reading the pointer) has the server carry out what
  // it asked before this reads the outcome.
  auto carriedOut = [&] { ASSERT_TRUE(poster.pointerLocation()); };
  ASSERT_TRUE(poster.postKeyboard({0, true, 0, false}));
  carriedOut();
  EXPECT_FALSE(repeats(display, a)) << "held";
  ASSERT_TRUE(poster.postKeyboard({0, false, 0, false}));
  ASSERT_TRUE(poster.postKeyboard({56, true, event_flags::shift, true}));
  ASSERT_TRUE(poster.postKeyboard({0, true, event_flags::shift, false}));
  ASSERT_TRUE(poster.postKeyboard({0, false, event_flags::shift, false}));
  ASSERT_TRUE(poster.postKeyboard({56, false, 0, true}));
  carriedOut();
  EXPECT_TRUE(repeats(display, a)) << "released";
  EXPECT_EQ(keymapNotifications(display, xkbEventBase), 0);

  // The user turns the key's repeat off, then on, between the device's presses: each
  // release leaves the user's setting.
  for (bool on : {false, true}) {
    SCOPED_TRACE(on ? "repeat turned on" : "repeat turned off");
    setRepeat(display, a, on);
    ASSERT_TRUE(poster.postKeyboard({0, true, 0, false}));
    carriedOut();
    EXPECT_FALSE(repeats(display, a));
    ASSERT_TRUE(poster.postKeyboard({0, false, 0, false}));
    carriedOut();
    EXPECT_EQ(repeats(display, a), on);
  }
  XCloseDisplay(display);
}

// Modifiers held or locked through another client (the user's keyboard) count as they do
// for the key the device presses, whenever they changed, and stay as the user left them.
TEST_F(EventPosterTest, ModifiersOfAnotherKeyboardGiveWayToTheFlagsOfEachKey) {
  KeyboardLayoutGuard layout;
  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap us"));
  Display* display = XOpenDisplay(nullptr);
  ASSERT_TRUE(display);
  const unsigned shiftKey = XKeysymToKeycode(display, XK_Shift_L);
  tap(0, 0);  // the poster has read the keyboard's state before the user changes it
  struct Case {
    const char* what;
    uint64_t flags;
    unsigned long keysym;
    unsigned state;
  };
  {
    SCOPED_TRACE("shift held");
    XTestFakeKeyEvent(display, shiftKey, True, CurrentTime);
    XSync(display, False);
    for (const Case& c : {Case{"plain", 0, XK_a, 0}, Case{"shift", event_flags::shift, XK_A, ShiftMask},
                          Case{"plain again", 0, XK_a, 0}}) {
      SCOPED_TRACE(c.what);
      auto press = tap(0, c.flags);
      ASSERT_TRUE(press);
      EXPECT_EQ(press->keysym, c.keysym);
      EXPECT_EQ(press->state & kModifierState, c.state);
    }
    XSync(display, False);
    EXPECT_TRUE(isDown(display, shiftKey)) << "the user still holds shift";
    XTestFakeKeyEvent(display, shiftKey, False, CurrentTime);
    XSync(display, False);
  }
  {
    SCOPED_TRACE("caps lock on");
    XkbLockModifiers(display, XkbUseCoreKbd, LockMask, LockMask);
    XSync(display, False);
    for (const Case& c : {Case{"plain", 0, XK_a, 0}, Case{"caps lock", event_flags::alphaShift, XK_A, LockMask}}) {
      SCOPED_TRACE(c.what);
      auto press = tap(0, c.flags);
      ASSERT_TRUE(press);
      EXPECT_EQ(press->keysym, c.keysym);
      EXPECT_EQ(press->state & kModifierState, c.state);
    }
    XkbStateRec state{};
    XkbGetState(display, XkbUseCoreKbd, &state);
    EXPECT_TRUE(state.locked_mods & LockMask) << "the user's lock stays";
    XkbLockModifiers(display, XkbUseCoreKbd, LockMask, 0);
    XSync(display, False);
  }
  auto plain = tap(0, 0);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->state & kModifierState, 0u);
  XCloseDisplay(display);
}

TEST_F(EventPosterTest, GermanLayoutKeepsKeyPositionsAndTypesOptionCharacters) {
  KeyboardLayoutGuard layout;
  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap de"));
  using namespace event_flags;
  const KeyCase cases[] = {
      {16, 0, XK_z, 0},                     // the key at the Y position types z
      {6, 0, XK_y, 0},                      // and the one at Z types y
      {12, alternate, XK_at, Mod5Mask},     // option is AltGr where the key has a third level
      {123, alternate, XK_Left, Mod1Mask},  // and Alt where it has none
      {41, 0, XK_odiaeresis, 0},
      {18, shift, XK_exclam, ShiftMask},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "virtual key " << c.virtualKey);
    auto press = tap(c.virtualKey, c.flags);
    ASSERT_TRUE(press);
    EXPECT_EQ(press->keysym, c.keysym);
    EXPECT_EQ(press->state & kModifierState, c.state);
  }
}

TEST_F(EventPosterTest, TextArrivesWholeOnEachLayoutIncludingCharactersItLacks) {
  KeyboardLayoutGuard layout;
  const std::u32string text = U"Hello, W\u00f6rld! 1+1=2 @ \u20ac \u00e9t\u00e9 \u0416 \U0001F600\tok\r\nnext\nline";
  const std::string expected =
      "Hello, W\xc3\xb6rld! 1+1=2 @ \xe2\x82\xac \xc3\xa9t\xc3\xa9 \xd0\x96 \xf0\x9f\x98\x80\tok\nnext\nline";
  for (const char* command : {"setxkbmap us", "setxkbmap de", "setxkbmap -layout us,de"}) {
    SCOPED_TRACE(command);
    ASSERT_TRUE(KeyboardLayoutGuard::set(command));
    EXPECT_EQ(type(text), expected);
    // Typed with exactly the modifiers each character needs: caps lock does not change it.
    poster.postKeyboard({57, true, 0, true});
    poster.postKeyboard({57, false, 0, true});
    EXPECT_EQ(type(U"aB\u00e9"), "aB\xc3\xa9");
    poster.postKeyboard({57, true, 0, true});
    poster.postKeyboard({57, false, 0, true});
  }
}

TEST_F(EventPosterTest, SpareKeysAreUnmappedWhenThePosterGoes) {
  KeyboardLayoutGuard layout;
  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap us"));
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  auto keycodeOf = [&](KeySym sym) {
    XkbDescPtr map = XkbGetMap(display, XkbAllClientInfoMask, XkbUseCoreKbd);
    KeyCode found = 0;
    for (int key = map->min_key_code; key <= map->max_key_code && !found; ++key) {
      for (int i = 0; i < XkbKeyNumSyms(map, key); ++i) {
        if (XkbKeySymsPtr(map, key)[i] == sym) found = static_cast<KeyCode>(key);
      }
    }
    XkbFreeKeyboard(map, XkbAllComponentsMask, True);
    return found;
  };
  {
    EventPoster local;
    ASSERT_TRUE(local.postUnicodeString(u"\u20ac\u00df", true));
    EXPECT_NE(keycodeOf(XK_EuroSign), 0);
    EXPECT_NE(keycodeOf(XK_ssharp), 0);
  }
  EXPECT_EQ(keycodeOf(XK_EuroSign), 0);
  EXPECT_EQ(keycodeOf(XK_ssharp), 0);
  XCloseDisplay(display);
}

TEST_F(EventPosterTest, MovesButtonsAndDragsLandWhereTheyArePosted) {
  ASSERT_TRUE(poster.postMouse({MouseEventType::mouseMoved, {100.4, 200.6}, MouseButton::left, 3, 4, 0}));
  EXPECT_EQ(poster.pointerLocation(), (GlobalPoint{100, 201}));
  ASSERT_TRUE(poster.postMouse({MouseEventType::mouseMoved, {2500, 500}, MouseButton::left, 0, 0, 0}));
  EXPECT_EQ(poster.pointerLocation(), (GlobalPoint{2500, 500}));

  observer.clear();
  poster.postMouse({MouseEventType::leftMouseDown, {300, 300}, MouseButton::left, 0, 0, 1});
  poster.postMouse({MouseEventType::leftMouseDragged, {350, 320}, MouseButton::left, 50, 20, 0});
  poster.postMouse({MouseEventType::leftMouseUp, {350, 320}, MouseButton::left, 0, 0, 1});
  poster.postMouse({MouseEventType::rightMouseDown, {10, 20}, MouseButton::right, 0, 0, 1});
  poster.postMouse({MouseEventType::rightMouseUp, {10, 20}, MouseButton::right, 0, 0, 1});
  poster.postMouse({MouseEventType::otherMouseDown, {3000, 1000}, MouseButton::center, 0, 0, 1});
  poster.postMouse({MouseEventType::otherMouseUp, {3000, 1000}, MouseButton::center, 0, 0, 1});
  ASSERT_TRUE(observer.waitFor([&] { return observer.of(Kind::buttonRelease).size() == 3; }));
  const auto presses = observer.of(Kind::buttonPress);
  const auto releases = observer.of(Kind::buttonRelease);
  ASSERT_EQ(presses.size(), 3u);
  EXPECT_EQ((std::tuple{presses[0].button, presses[0].x, presses[0].y}), (std::tuple{1u, 300, 300}));
  EXPECT_EQ((std::tuple{releases[0].button, releases[0].x, releases[0].y}), (std::tuple{1u, 350, 320}));
  EXPECT_EQ((std::tuple{presses[1].button, presses[1].x, presses[1].y}), (std::tuple{3u, 10, 20}));
  EXPECT_EQ((std::tuple{presses[2].button, presses[2].x, presses[2].y}), (std::tuple{2u, 3000, 1000}));
  // The drag moved with the left button held.
  bool dragged = false;
  for (const auto& e : observer.of(Kind::motion)) dragged |= e.x == 350 && e.y == 320 && (e.state & Button1Mask);
  EXPECT_TRUE(dragged);
  // Coordinates that are not finite post nothing.
  EXPECT_FALSE(poster.postMouse({MouseEventType::mouseMoved, {std::nan(""), 1}, MouseButton::left, 0, 0, 0}));
}

TEST_F(EventPosterTest, ScrollPixelsBecomeWheelStepsAndBeganDropsTheRemainder) {
  struct Step {
    ScrollWheelEvent event;
    std::vector<unsigned> buttons;
  };
  const Step steps[] = {
      {{45, 0, 1, 0}, {4, 4}},  // 45 px up: two steps, 5 kept
      {{15, 0, 2, 0}, {4}},     // 5 + 15 = one step
      {{19, 0, 2, 0}, {}},      // 19 kept
      {{-25, 0, 1, 0}, {5}},    // began: the 19 are dropped; -25 is one step down
      {{-15, 0, 2, 0}, {5}},    // -5 - 15
      {{0, 40, 0, 2}, {6, 6}},  // momentum, horizontal: left
      {{0, -20, 0, 3}, {7}},
  };
  observer.clear();
  size_t total = 0;
  std::vector<unsigned> expected;
  for (const Step& s : steps) {
    ASSERT_TRUE(poster.postScroll(s.event));
    total += s.buttons.size();
    expected.insert(expected.end(), s.buttons.begin(), s.buttons.end());
  }
  ASSERT_TRUE(observer.waitFor([&] { return observer.of(Kind::buttonRelease).size() == total; }));
  std::vector<unsigned> seen;
  for (const auto& e : observer.of(Kind::buttonPress)) seen.push_back(e.button);
  EXPECT_EQ(seen, expected);
}

TEST_F(EventPosterTest, DisplayBoundsAreTheMonitors) {
  const std::vector<GlobalRect> expected{{0, 0, 1920, 1080}, {1920, 0, 1920, 1080}};
  EXPECT_EQ(poster.activeDisplayBounds(), expected);
}

TEST(KeyboardLayoutSourceTest, TranslatesVirtualKeysOnTheCurrentLayoutAndItsGroup) {
  KeyboardLayoutGuard layout;
  KeyboardLayoutSource source;
  using namespace modifier_key_state;

  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap us"));
  auto us = source.current();
  ASSERT_TRUE(us);
  EXPECT_EQ(us->data->translate(0, none), "a");
  EXPECT_EQ(us->data->translate(0, shift), "A");
  EXPECT_EQ(us->data->translate(0, option), "a");  // no third level on this layout
  EXPECT_EQ(us->data->translate(18, none), "1");
  EXPECT_EQ(us->data->translate(83, none), "");  // keypad 1 with num lock off types nothing
  EXPECT_EQ(us->data->translate(16, none), "y");
  EXPECT_EQ(us->data->translate(49, none), " ");
  EXPECT_EQ(us->data->translate(63, none), "");  // Fn has no key
  EXPECT_EQ(us->data->translate(0, 4), "");      // not a state of the lookup
  EXPECT_EQ(source.current()->inputSourceID, us->inputSourceID);
  EXPECT_EQ(source.current()->data, us->data);  // unchanged layouts are not read again

  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap de"));
  auto de = source.current();
  ASSERT_TRUE(de);
  EXPECT_NE(de->inputSourceID, us->inputSourceID);
  EXPECT_EQ(de->data->translate(16, none), "z");
  EXPECT_EQ(de->data->translate(12, option), "@");
  EXPECT_EQ(de->data->translate(14, option), "\xe2\x82\xac");
  EXPECT_EQ(de->data->translate(24, none), "");  // the acute accent is a dead key

  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap -layout us,de"));
  auto first = source.current();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->data->translate(16, none), "y");
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  XkbLockGroup(display, XkbUseCoreKbd, 1);
  XSync(display, False);
  auto second = source.current();
  XkbLockGroup(display, XkbUseCoreKbd, 0);
  XCloseDisplay(display);
  ASSERT_TRUE(second);
  EXPECT_NE(second->inputSourceID, first->inputSourceID);
  EXPECT_EQ(second->data->translate(16, none), "z");
}

TEST(EventPosterWithoutX, AnswersNothingAndPostsNothing) {
  const char* old = std::getenv("DISPLAY");
  const std::string saved = old ? old : "";
  setenv("DISPLAY", ":9999", 1);
  {
    EventPoster poster;
    KeyboardLayoutSource layouts;
    EXPECT_FALSE(poster.isAvailable());
    EXPECT_FALSE(poster.postKeyboard({0, true, 0, false}));
    EXPECT_FALSE(poster.postUnicodeString(u"a", true));
    EXPECT_FALSE(poster.postMouse({}));
    EXPECT_FALSE(poster.postScroll({}));
    EXPECT_EQ(poster.pointerLocation(), std::nullopt);
    EXPECT_TRUE(poster.activeDisplayBounds().empty());
    EXPECT_FALSE(layouts.current());
  }
  if (old)
    setenv("DISPLAY", saved.c_str(), 1);
  else
    unsetenv("DISPLAY");
  EXPECT_FALSE(isSecureEventInputEnabled());
}

}  // namespace
}  // namespace brindlet::platform

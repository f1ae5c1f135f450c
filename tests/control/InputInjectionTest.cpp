#include <gtest/gtest.h>

#include "host/control/CGEventInjector.h"
#include "host/control/LayoutReverseMap.h"
#include "kit/support/ManualClock.h"
#include "platform/input/EventPoster.h"
#include "platform/input/X11InputObserver.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

// The injector on a real X server, seen by an X client of our own.
namespace brindlet::host {
namespace {

using brindlet::test::KeyboardLayoutGuard;
using brindlet::test::ObservedEvent;
using brindlet::test::X11InputObserver;
using Kind = ObservedEvent::Kind;

constexpr unsigned kModifierState = ShiftMask | LockMask | ControlMask | Mod1Mask | Mod4Mask | Mod5Mask;

class InputInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(observer.isReady()) << "needs an X server (DISPLAY)";
    ASSERT_TRUE(poster->isAvailable());
  }

  // The text typed since the observer was cleared.
  std::string typedUntilMarker() {
    injector.typeUnicode("#");
    return observer.waitForTextBefore('#');
  }

  // The press of the one key that is not a modifier, once it is released.
  std::optional<ObservedEvent> pressOf(const std::vector<KeyEvent>& events) {
    observer.clear();
    for (const KeyEvent& e : events) injector.key(e);
    return observer.waitForKeyTap();
  }

  X11InputObserver observer;
  std::shared_ptr<platform::EventPoster> poster = std::make_shared<platform::EventPoster>();
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  bool blocked = false;
  std::shared_ptr<KeyboardLayouts> layouts = std::make_shared<KeyboardLayouts>();
  CGEventInjector injector{poster, clock, {[this] { return blocked; }, [this] { return layouts->reverseMap(); }}};
};

struct HIDCase {
  HIDUsage usage;
  ModifierFlags modifiers;
  unsigned long usKeysym;
  unsigned long germanKeysym;
  unsigned usState;
  unsigned germanState;
};

TEST_F(InputInjectionTest, HIDKeysWithTheirModifiersArriveAsTheRightKeysOnBothLayouts) {
  KeyboardLayoutGuard layout;
  using M = ModifierFlags;
  const HIDCase cases[] = {
      {HIDUsage::a, {}, XK_a, XK_a, 0, 0},
      {HIDUsage::a, M::shift, XK_A, XK_A, ShiftMask, ShiftMask},
      {HIDUsage::a, M::capsLock, XK_A, XK_A, LockMask, LockMask},
      {HIDUsage::c, {M::control}, XK_c, XK_c, ControlMask, ControlMask},
      {HIDUsage::c, {M::command}, XK_c, XK_c, Mod4Mask, Mod4Mask},
      {HIDUsage::c,
       {M::command, M::shift, M::control},
       XK_C,
       XK_C,
       ShiftMask | ControlMask | Mod4Mask,
       ShiftMask | ControlMask | Mod4Mask},
      {HIDUsage::q, M::option, XK_q, XK_at, Mod1Mask, Mod5Mask},
      {HIDUsage::y, {}, XK_y, XK_z, 0, 0},
      {HIDUsage::digit2, M::shift, XK_at, XK_quotedbl, ShiftMask, ShiftMask},
      // (not an arrow: the window manager keeps shift+alt+arrows for itself)
      {HIDUsage::home, {M::option, M::shift}, XK_Home, XK_Home, Mod1Mask | ShiftMask, Mod1Mask | ShiftMask},
      {HIDUsage::f5, {}, XK_F5, XK_F5, 0, 0},
      {HIDUsage::returnKey, {}, XK_Return, XK_Return, 0, 0},
  };
  for (bool german : {false, true}) {
    ASSERT_TRUE(KeyboardLayoutGuard::set(german ? "setxkbmap de" : "setxkbmap us"));
    for (const HIDCase& c : cases) {
      SCOPED_TRACE(::testing::Message() << (german ? "de" : "us") << " usage 0x" << std::hex << c.usage.rawValue
                                        << " modifiers 0x" << int(c.modifiers.rawValue));
      auto press = pressOf({{c.usage, true, c.modifiers}, {c.usage, false, c.modifiers}});
      ASSERT_TRUE(press);
      EXPECT_EQ(press->keysym, german ? c.germanKeysym : c.usKeysym);
      EXPECT_EQ(press->state & kModifierState, german ? c.germanState : c.usState);
    }
  }
  // Modifier keys held by the device apply to the keys between their press and release.
  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap us"));
  auto shifted = pressOf({{HIDUsage::leftShift, true, ModifierFlags::shift},
                          {HIDUsage::b, true, ModifierFlags::shift},
                          {HIDUsage::b, false, ModifierFlags::shift},
                          {HIDUsage::leftShift, false, {}}});
  ASSERT_TRUE(shifted);
  EXPECT_EQ(shifted->keysym, static_cast<unsigned long>(XK_B));
  auto plain = pressOf({{HIDUsage::b, true, {}}, {HIDUsage::b, false, {}}});
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->state & kModifierState, 0u);
}

TEST_F(InputInjectionTest, TextArrivesWholeOnBothLayoutsTypedAsTextOrKeyByKey) {
  KeyboardLayoutGuard layout;
  // 51 UTF-16 units: pieces of 20 end inside no character.
  const std::string text = "Hello, W\xc3\xb6rld! \xf0\x9f\x98\x80 caf\xc3\xa9 \xe2\x82\xac 1+1=2 @home\ttab\nnew line";
  for (const char* command : {"setxkbmap us", "setxkbmap de"}) {
    SCOPED_TRACE(command);
    ASSERT_TRUE(KeyboardLayoutGuard::set(command));
    observer.clear();
    blocked = false;
    injector.typeText(text);
    EXPECT_EQ(typedUntilMarker(), text);

    // Key by key (a password while the screen is locked): what the layout has.
    observer.clear();
    blocked = true;
    injector.typeText("Pa55 word@ZYzy!\n");
    EXPECT_EQ(typedUntilMarker(), "Pa55 word@ZYzy!\n");
  }
  // A character the layout lacks is skipped, the rest typed.
  ASSERT_TRUE(KeyboardLayoutGuard::set("setxkbmap us"));
  observer.clear();
  injector.typeText(
      "a\xc3\xa9"
      "b");
  EXPECT_EQ(typedUntilMarker(), "ab");
}

TEST_F(InputInjectionTest, PointerMovesLandClampedToTheDisplaysAndButtonsAndScrollsArrive) {
  const DisplayInfo right{2, "Right", false, 1920, 1080, {1920, 0, 1920, 1080}};
  injector.pointer(PointerEvent::MoveAbsolute{2, 0.25f, 0.5f}, right);
  EXPECT_EQ(poster->pointerLocation(), (platform::GlobalPoint{2400, 540}));
  injector.pointer(PointerEvent::MoveRelative{-500, 100}, {});
  EXPECT_EQ(poster->pointerLocation(), (platform::GlobalPoint{1900, 640}));
  injector.pointer(PointerEvent::MoveRelative{5000, 5000}, {});
  EXPECT_EQ(poster->pointerLocation(), (platform::GlobalPoint{3839, 1079}));
  injector.pointer(PointerEvent::MoveAbsolute{2, 2, -1}, right);
  EXPECT_EQ(poster->pointerLocation(), (platform::GlobalPoint{3840 - 1, 0}));  // the screen's last pixel

  observer.clear();
  injector.pointer(PointerEvent::MoveAbsolute{2, 0.5f, 0.5f}, right);
  injector.pointer(PointerEvent::Button{PointerButton::left, true, 1}, {});
  injector.pointer(PointerEvent::Button{PointerButton::left, false, 1}, {});
  injector.pointer(PointerEvent::Button{PointerButton::left, true, 2}, {});
  injector.pointer(PointerEvent::Button{PointerButton::left, false, 2}, {});
  // A drag.
  injector.pointer(PointerEvent::Button{PointerButton::left, true, 1}, {});
  injector.pointer(PointerEvent::MoveRelative{40, 30}, {});
  injector.pointer(PointerEvent::Button{PointerButton::left, false, 1}, {});
  injector.pointer(PointerEvent::Button{PointerButton::right, true, 1}, {});
  injector.pointer(PointerEvent::Button{PointerButton::right, false, 1}, {});
  // Scrolling up 25 device units: 50 pixels, two wheel steps.
  injector.pointer(PointerEvent::Scroll{0, 12.5f, ScrollPhase::began}, {});
  injector.pointer(PointerEvent::Scroll{0, 12.5f, ScrollPhase::changed}, {});
  injector.pointer(PointerEvent::Scroll{0, 0, ScrollPhase::ended}, {});
  ASSERT_TRUE(observer.waitFor([&] { return observer.of(Kind::buttonRelease).size() == 6; }));

  std::vector<std::tuple<unsigned, int, int>> presses;
  for (const auto& e : observer.of(Kind::buttonPress)) presses.emplace_back(e.button, e.x, e.y);
  EXPECT_EQ(presses,
            (std::vector<std::tuple<unsigned, int, int>>{
                {1, 2880, 540}, {1, 2880, 540}, {1, 2880, 540}, {3, 2920, 570}, {4, 2920, 570}, {4, 2920, 570}}));
  const auto releases = observer.of(Kind::buttonRelease);
  EXPECT_EQ(std::tuple(releases[2].button, releases[2].x, releases[2].y), std::tuple(1u, 2920, 570));
  bool dragged = false;
  for (const auto& e : observer.of(Kind::motion)) dragged |= e.x == 2920 && e.y == 570 && (e.state & Button1Mask);
  EXPECT_TRUE(dragged);
}

TEST_F(InputInjectionTest, ReleaseAllLeavesNothingHeldOnTheComputer) {
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  auto anythingHeld = [&] {
    char keys[32] = {};
    XQueryKeymap(display, keys);
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rx, &ry, &wx, &wy, &mask);
    bool key = false;
    for (char k : keys) key |= k != 0;
    return key || (mask & (Button1Mask | Button2Mask | Button3Mask)) != 0;
  };
  ASSERT_FALSE(anythingHeld());
  // The session ends in the middle of a drag with a key held.
  injector.key({HIDUsage::leftShift, true, ModifierFlags::shift});
  injector.key({HIDUsage::x, true, ModifierFlags::shift});
  injector.pointer(PointerEvent::Button{PointerButton::left, true, 1}, {});
  injector.pointer(PointerEvent::MoveRelative{10, 10}, {});
  EXPECT_TRUE(anythingHeld());
  injector.releaseAll();
  EXPECT_FALSE(anythingHeld());
  XCloseDisplay(display);
}

}  // namespace
}  // namespace brindlet::host

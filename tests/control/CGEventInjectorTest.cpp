#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "control/RecordingPoster.h"
#include "host/control/CGEventInjector.h"
#include "kit/support/ManualClock.h"
#include "platform/log/Log.h"

namespace brindlet::host {
namespace {

using platform::KeyboardEvent;
using platform::MouseButton;
using platform::MouseEvent;
using platform::MouseEventType;
using platform::ScrollWheelEvent;
using test::RecordingPoster;
using Deltas = std::pair<std::int64_t, std::int64_t>;

// Collects log records for the life of the test.
class LogCapture {
 public:
  LogCapture() {
    previous_ = platform::setLogObserver([this](const platform::LogRecord& r) { records.push_back(r); });
  }
  ~LogCapture() { platform::setLogObserver(previous_); }
  std::vector<platform::LogRecord> records;

 private:
  platform::LogObserver previous_;
};

class CGEventInjectorTest : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingPoster> poster = std::make_shared<RecordingPoster>();
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  bool blocked = false;
  std::shared_ptr<const LayoutReverseMap> layout;
  CGEventInjector injector{poster, clock, {[this] { return blocked; }, [this] { return layout; }}};

  void press(PointerButton b, std::uint8_t clicks = 1) { injector.pointer(PointerEvent::Button{b, true, clicks}, {}); }
  void release(PointerButton b) { injector.pointer(PointerEvent::Button{b, false, 1}, {}); }
  void moveBy(float dx, float dy) { injector.pointer(PointerEvent::MoveRelative{dx, dy}, {}); }
};

TEST_F(CGEventInjectorTest, KeysCarryExactlyTheFlagsOfTheirModifiers) {
  const std::pair<std::uint8_t, std::uint64_t> cases[] = {
      {0x00, 0},        {0x01, 0x20000}, {0x02, 0x40000},  {0x04, 0x80000}, {0x08, 0x100000},
      {0x10, 0x800000}, {0x20, 0x10000}, {0x3F, 0x9F0000}, {0xC0, 0},       {0x41, 0x20000},
  };
  for (auto [modifiers, flags] : cases) {
    poster->keys.clear();
    injector.key({HIDUsage::a, true, ModifierFlags(modifiers)});
    ASSERT_EQ(poster->keys.size(), 1u);
    EXPECT_EQ(poster->keys[0], (KeyboardEvent{0, true, flags, false})) << int(modifiers);
  }
  // Modifier usages change the flags; others stay key down and up.
  poster->keys.clear();
  injector.key({HIDUsage::leftShift, true, ModifierFlags::shift});
  injector.key({HIDUsage::capsLock, false, {}});
  injector.key({HIDUsage::fn, true, ModifierFlags::function});
  injector.key({HIDUsage::rightCommand, false, {}});
  injector.key({HIDUsage::returnKey, false, {}});
  EXPECT_EQ(poster->keys, (std::vector<KeyboardEvent>{{56, true, 0x20000, true},
                                                      {57, false, 0, true},
                                                      {63, true, 0x800000, true},
                                                      {54, false, 0, true},
                                                      {36, false, 0, false}}));
}

TEST_F(CGEventInjectorTest, UsagesWithoutAKeyAreLoggedAndDropped) {
  LogCapture log;
  injector.key({HIDUsage{0x32}, true, {}});
  injector.key({HIDUsage{0xFF02}, true, {}});
  EXPECT_TRUE(poster->keys.empty());
  ASSERT_EQ(log.records.size(), 2u);
  EXPECT_EQ(log.records[0].message, "Nolu: no virtual key for HID usage 0x32");
  EXPECT_EQ(log.records[1].message, "Nolu: no virtual key for HID usage 0xff02");
}

TEST_F(CGEventInjectorTest, TextIsUnicodeUnlessInputIsBlockedAndALayoutIsKnown) {
  const std::string text = std::string(44, 'x') + "\xf0\x9f\x98\x80";  // 46 units
  injector.typeText(text);
  ASSERT_EQ(poster->unicode.size(), 6u);
  EXPECT_EQ(poster->unicode[0], (std::pair{std::u16string(20, u'x'), true}));
  EXPECT_EQ(poster->unicode[1], (std::pair{std::u16string(20, u'x'), false}));
  EXPECT_EQ(poster->unicode[4], (std::pair{std::u16string(4, u'x') + u"\U0001F600", true}));
  EXPECT_TRUE(poster->keys.empty());

  poster->unicode.clear();
  blocked = true;  // no layout: still Unicode
  injector.typeText("ab");
  EXPECT_EQ(poster->unicode.size(), 2u);
  EXPECT_TRUE(poster->keys.empty());

  poster->unicode.clear();
  layout =
      std::make_shared<const LayoutReverseMap>(LayoutReverseMap{{"a", {0, false, false}}, {"b", {11, false, false}}});
  injector.typeText("ab");
  EXPECT_TRUE(poster->unicode.empty());
  EXPECT_EQ(poster->keys, (std::vector<KeyboardEvent>{
                              {0, true, 0, false}, {0, false, 0, false}, {11, true, 0, false}, {11, false, 0, false}}));
}

TEST_F(CGEventInjectorTest, KeyByKeyTypingWrapsTheKeyInShiftAndOption) {
  const LayoutReverseMap map{{"\xc3\x85", {0, true, true}}, {"A", {0, true, false}}, {"@", {12, false, true}}};
  injector.type("\xc3\x85", map);
  EXPECT_EQ(poster->keys, (std::vector<KeyboardEvent>{{56, true, 0x20000, true},
                                                      {58, true, 0xA0000, true},
                                                      {0, true, 0xA0000, false},
                                                      {0, false, 0xA0000, false},
                                                      {58, false, 0x20000, true},
                                                      {56, false, 0, true}}));
  poster->keys.clear();
  injector.type("A@", map);
  EXPECT_EQ(poster->keys, (std::vector<KeyboardEvent>{{56, true, 0x20000, true},
                                                      {0, true, 0x20000, false},
                                                      {0, false, 0x20000, false},
                                                      {56, false, 0, true},
                                                      {58, true, 0x80000, true},
                                                      {12, true, 0x80000, false},
                                                      {12, false, 0x80000, false},
                                                      {58, false, 0, true}}));
}

TEST_F(CGEventInjectorTest, KeyByKeyTypingLogsHowManyCharactersHadNoKeyNeverWhich) {
  LogCapture log;
  const LayoutReverseMap map{{"a", {0, false, false}}};
  injector.type(
      "aQ\xc3\xa9"
      "a",
      map);                            // a password: its characters must not reach the log
  EXPECT_EQ(poster->keys.size(), 4u);  // both a's typed
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0].message, "Nolu: no key for 2 characters in the current layout, skipped");
  injector.type("aaa", map);
  EXPECT_EQ(log.records.size(), 1u);
}

TEST_F(CGEventInjectorTest, RelativeMovesStartAtTheRealCursorAndStayOnTheDisplays) {
  poster->pointer = platform::GlobalPoint{500, 400};
  moveBy(10.4f, -0.5f);
  ASSERT_EQ(poster->mice.size(), 1u);
  EXPECT_EQ(poster->mice[0].type, MouseEventType::mouseMoved);
  EXPECT_NEAR(poster->mice[0].location.x, 510.4, 1e-4);
  EXPECT_NEAR(poster->mice[0].location.y, 399.5, 1e-4);
  EXPECT_EQ(Deltas(poster->mice[0].deltaX, poster->mice[0].deltaY), Deltas(10, -1));

  // Past the far corner: the nearest edge point, while the deltas stay the device's.
  poster->pointer = platform::GlobalPoint{3800, 500};
  clock->advance(std::chrono::seconds(2));
  moveBy(500, 900);
  EXPECT_EQ(poster->mice.back().location, (platform::GlobalPoint{3839, 1079}));
  EXPECT_EQ(Deltas(poster->mice.back().deltaX, poster->mice.back().deltaY), Deltas(500, 900));
  moveBy(-5000, -5000);
  EXPECT_EQ(poster->mice.back().location, (platform::GlobalPoint{0, 0}));

  // Deltas that are not finite or do not fit 64 bits are ignored.
  const std::size_t posted = poster->mice.size();
  moveBy(std::nanf(""), 1);
  moveBy(1, std::numeric_limits<float>::infinity());
  moveBy(1e30f, 0);
  EXPECT_EQ(poster->mice.size(), posted);
  EXPECT_EQ(injector.resyncCursor(0), (Point{0, 0}));
}

TEST_F(CGEventInjectorTest, WithoutARealCursorTheFirstRelativeMoveStartsAtTheOrigin) {
  poster->pointer.reset();
  poster->followsMoves = false;
  moveBy(3, 4);
  EXPECT_EQ(poster->mice.back().location, (platform::GlobalPoint{3, 4}));
}

TEST_F(CGEventInjectorTest, AbsoluteMovesLandOnTheDisplayFrameAndItsEdges) {
  const DisplayInfo right{2, "Right", false, 1920, 1080, {1920, 0, 1920, 1080}};
  const std::tuple<float, float, platform::GlobalPoint> cases[] = {
      {0.5f, 0.5f, {2880, 540}}, {-1, 2, {1920, 1080}}, {0, 1, {1920, 1080}}, {1.5f, -0.25f, {3840, 0}}};
  for (auto [x, y, expected] : cases) {
    injector.pointer(PointerEvent::MoveAbsolute{99, x, y}, right);
    EXPECT_EQ(poster->mice.back().location, expected);
    EXPECT_EQ(Deltas(poster->mice.back().deltaX, poster->mice.back().deltaY), Deltas(0, 0));
  }
  const std::size_t posted = poster->mice.size();
  injector.pointer(PointerEvent::MoveAbsolute{2, 0.5f, 0.5f}, std::nullopt);
  injector.pointer(PointerEvent::MoveAbsolute{2, std::nanf(""), 0.5f}, right);
  EXPECT_EQ(poster->mice.size(), posted);
  EXPECT_EQ(injector.resyncCursor(0), (Point{3840, 0}));
}

TEST_F(CGEventInjectorTest, MovesWithButtonsHeldAreDrags) {
  auto lastType = [&] { return poster->mice.back().type; };
  press(PointerButton::left);
  moveBy(1, 0);
  EXPECT_EQ(lastType(), MouseEventType::leftMouseDragged);
  press(PointerButton::right);
  moveBy(1, 0);
  EXPECT_EQ(lastType(), MouseEventType::leftMouseDragged);  // left wins
  release(PointerButton::left);
  moveBy(1, 0);
  EXPECT_EQ(lastType(), MouseEventType::rightMouseDragged);
  EXPECT_EQ(poster->mice.back().button, MouseButton::right);
  release(PointerButton::right);
  press(PointerButton::middle);
  moveBy(1, 0);
  EXPECT_EQ(lastType(), MouseEventType::otherMouseDragged);
  EXPECT_EQ(poster->mice.back().button, MouseButton::center);
  release(PointerButton::middle);
  moveBy(1, 0);
  EXPECT_EQ(lastType(), MouseEventType::mouseMoved);
}

TEST_F(CGEventInjectorTest, ButtonsCarryTheirClickCountAtTheTrackedPosition) {
  injector.warp({100, 200});
  const std::pair<std::uint8_t, std::int64_t> counts[] = {{0, 1}, {1, 1}, {2, 2}, {3, 3}};
  for (auto [count, state] : counts) {
    press(PointerButton::left, count);
    EXPECT_EQ(poster->mice.back().clickState, state);
    EXPECT_EQ(poster->mice.back().location, (platform::GlobalPoint{100, 200}));
  }
  const std::pair<PointerButton, std::pair<MouseEventType, MouseEventType>> types[] = {
      {PointerButton::left, {MouseEventType::leftMouseDown, MouseEventType::leftMouseUp}},
      {PointerButton::right, {MouseEventType::rightMouseDown, MouseEventType::rightMouseUp}},
      {PointerButton::middle, {MouseEventType::otherMouseDown, MouseEventType::otherMouseUp}}};
  for (auto [button, downUp] : types) {
    press(button);
    EXPECT_EQ(poster->mice.back().type, downUp.first);
    release(button);
    EXPECT_EQ(poster->mice.back().type, downUp.second);
  }
}

TEST_F(CGEventInjectorTest, AButtonThatCouldNotBePostedIsNotHeld) {
  poster->accept = false;
  press(PointerButton::left);
  poster->accept = true;
  moveBy(1, 1);
  EXPECT_EQ(poster->mice.back().type, MouseEventType::mouseMoved);
}

TEST_F(CGEventInjectorTest, ScrollsCarryPixelsAndPhases) {
  using Phase = ScrollPhase;
  const std::pair<PointerEvent::Scroll, ScrollWheelEvent> steps[] = {
      {{0, 0.3f, Phase::began}, {0, 0, 1, 0}},
      {{0, 0.3f, Phase::changed}, {1, 0, 2, 0}},
      {{0.3f, 0.3f, Phase::changed}, {0, 0, 2, 0}},
      {{0, 0.3f, Phase::began}, {0, 0, 1, 0}},  // the carried 0.8 is dropped
      {{-2, 20000, Phase::ended}, {30000, -4, 4, 0}},
      {{0, 1, Phase::momentum}, {2, 0, 0, 1}},
      {{0, 1, Phase::momentum}, {2, 0, 0, 2}},
      {{0, 0, Phase::momentumEnded}, {0, 0, 0, 3}},
      {{0, 1, Phase::momentum}, {2, 0, 0, 1}},
  };
  for (const auto& [scroll, expected] : steps) {
    injector.pointer(scroll, {});
    EXPECT_EQ(poster->scrolls.back(), expected) << poster->scrolls.size();
  }
}

TEST_F(CGEventInjectorTest, ReleaseAllLetsGoOfEveryHeldKeyAndButton) {
  injector.key({HIDUsage::a, true, {}});
  injector.key({HIDUsage::leftShift, true, ModifierFlags::shift});
  injector.key({HIDUsage::b, true, {}});
  injector.key({HIDUsage::b, false, {}});
  press(PointerButton::left);
  press(PointerButton::middle);
  poster->keys.clear();
  poster->mice.clear();

  injector.releaseAll();
  EXPECT_EQ(poster->keys, (std::vector<KeyboardEvent>{{0, false, 0, false}, {56, false, 0, true}}));
  ASSERT_EQ(poster->mice.size(), 2u);
  EXPECT_EQ(poster->mice[0].type, MouseEventType::leftMouseUp);
  EXPECT_EQ(poster->mice[1].type, MouseEventType::otherMouseUp);

  // Nothing is held any more.
  injector.releaseAll();
  moveBy(1, 1);
  EXPECT_EQ(poster->keys.size(), 2u);
  EXPECT_EQ(poster->mice.size(), 3u);
  EXPECT_EQ(poster->mice.back().type, MouseEventType::mouseMoved);
}

TEST_F(CGEventInjectorTest, ResyncAdoptsALocalMoveAndLogsIt) {
  LogCapture log;
  injector.warp({100, 100});
  EXPECT_EQ(poster->mice.back(), (MouseEvent{MouseEventType::mouseMoved, {100, 100}, MouseButton::left, 0, 0, 0}));
  poster->pointer = platform::GlobalPoint{600, 600};  // the local user moved the mouse
  clock->advance(std::chrono::seconds(1));
  const double now = std::chrono::duration<double>(clock->uptimeNow()).count();
  EXPECT_EQ(injector.resyncCursor(now), (Point{600, 600}));
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0].subsystem, "io.tavix.nolu.host");
  EXPECT_EQ(log.records[0].category, "session");
  EXPECT_EQ(log.records[0].message, "cursor resync: real 600.0,600.0 vs expected 100.0,100.0");
  // Relative moves now continue from there.
  moveBy(5, 5);
  EXPECT_EQ(poster->mice.back().location, (platform::GlobalPoint{605, 605}));
}

}  // namespace
}  // namespace brindlet::host

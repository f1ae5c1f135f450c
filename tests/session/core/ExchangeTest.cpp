// What the session tells the device unasked about this computer: the clipboard's later
// changes, the cursor's position and shape, and the displays' thumbnails.
#include <chrono>
#include <map>

#include <gtest/gtest.h>

#include "host/capture/CursorShapeRegistry.h"
#include "host/capture/ThumbnailProviding.h"
#include "session/core/SessionFixture.h"

namespace brindlet::host::testing {
namespace {

using namespace std::chrono_literals;

// A cursor whose image the test sets; a poll gives the image only for a token the caller
// does not hold.
class ScriptedCursor final : public CursorSource {
 public:
  asio::awaitable<std::optional<CursorPoll>> poll(std::optional<std::uint64_t> lastToken) override {
    ++polls;
    std::optional<CursorPoll> result = current;
    if (result && lastToken == result->token) result->shape.reset();
    co_return result;
  }
  void show(std::uint64_t token, CursorShapeData shape, bool visible = true) {
    current = CursorPoll{token, visible, std::move(shape)};
  }
  std::optional<CursorPoll> current;
  int polls = 0;
};

class FakeThumbnails final : public ThumbnailProviding {
 public:
  asio::awaitable<std::optional<Bytes>> thumbnail(std::uint32_t displayID, int width) override {
    asked.emplace_back(displayID, width);
    co_return Bytes{0xFF, 0xD8, static_cast<std::uint8_t>(displayID)};
  }
  std::vector<std::pair<std::uint32_t, int>> asked;
};

CursorShapeData arrow() { return CursorShapeData{Bytes{1, 2, 3}, 1, 2, 16}; }
CursorShapeData beam() { return CursorShapeData{Bytes{4, 5, 6}, 4, 8, 9}; }

class ExchangeTest : public SessionFixture {
 protected:
  ExchangeTest() {
    adjustEnvironment = [this](HostEnvironment& env) {
      env.cursorSource = cursor;
      env.thumbnails = thumbnails;
    };
  }

  template <class Case>
  std::vector<Case> receivedOf() const {
    std::vector<Case> out;
    for (const auto& m : received) {
      if (const auto* c = m.as<Case>()) out.push_back(*c);
    }
    return out;
  }

  std::shared_ptr<ScriptedCursor> cursor = std::make_shared<ScriptedCursor>();
  std::shared_ptr<FakeThumbnails> thumbnails = std::make_shared<FakeThumbnails>();
};

TEST_F(ExchangeTest, OnlyWhatIsCopiedAfterTheSessionStartsGoesToTheDevice) {
  services.pasteboard->text = "copied before the device came";
  startAccepted();
  loop.advance(2s);
  EXPECT_TRUE(receivedOf<msg::ClipboardText>().empty());

  services.pasteboard->writeText("copied now");
  loop.advance(600ms);
  services.pasteboard->writeText("copied now");  // the same text copied again is a change
  loop.advance(600ms);
  loop.advance(2s);
  EXPECT_EQ(receivedOf<msg::ClipboardText>(), (std::vector<msg::ClipboardText>{{"copied now"}, {"copied now"}}));

  // The device's own text does not come back to it; an empty clipboard sends nothing.
  received.clear();
  send(msg::ClipboardText{"from the phone"});
  EXPECT_EQ(services.pasteboard->text, "from the phone");
  services.pasteboard->text = "";
  ++services.pasteboard->count;
  loop.advance(2s);
  EXPECT_TRUE(receivedOf<msg::ClipboardText>().empty());
}

TEST_F(ExchangeTest, TextLongerThanAMessageCarriesIsRefusedWithANoticeNotCut) {
  LogCapture log;
  startAccepted();
  services.pasteboard->writeText(std::string(65535, 'a'));  // exactly what a message carries
  loop.advance(600ms);
  services.pasteboard->writeText(std::string(65536, 'b'));
  loop.advance(600ms);
  auto sent = receivedOf<msg::ClipboardText>();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].text.size(), 65535u);
  EXPECT_EQ(
      log.containing("clipboard not sent: its text of 65536 bytes is more than the 65535 a message carries").size(),
      1u);
}

TEST_F(ExchangeTest, TheCursorsShapeGoesOnceBeforeTheStateThatNamesIt) {
  services.injector->position = Point{640, 360};  // the middle of Main (3)
  cursor->show(1, arrow());
  startSession();
  send(hello());  // the shape is polled at once once the hello is accepted
  const std::uint32_t arrowID = CursorShapeRegistry::shapeID(arrow());
  const std::uint32_t beamID = CursorShapeRegistry::shapeID(beam());
  auto shapes = receivedOf<msg::CursorShape>();
  ASSERT_EQ(shapes.size(), 1u);
  EXPECT_EQ(shapes[0], (msg::CursorShape{arrowID, Bytes{1, 2, 3}, 1, 2, 16}));
  auto states = receivedOf<msg::CursorState>();
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0], (msg::CursorState{0, 3, 0.5f, 0.5f, true, arrowID}));
  // The shape precedes the state.
  std::vector<std::string_view> cursorNames;
  for (auto name : receivedNames()) {
    if (name == "cursorShape" || name == "cursorState") cursorNames.push_back(name);
  }
  EXPECT_EQ(cursorNames, (std::vector<std::string_view>{"cursorShape", "cursorState"}));

  // Still: nothing more.
  received.clear();
  loop.advance(1s);
  EXPECT_TRUE(received.empty());

  // A new shape, then back to the first: only the new one's image is sent.
  cursor->show(2, beam());
  loop.advance(40ms);
  cursor->show(1, arrow());
  loop.advance(40ms);
  EXPECT_EQ(receivedOf<msg::CursorShape>().size(), 1u);
  EXPECT_EQ(receivedOf<msg::CursorState>(),
            (std::vector<msg::CursorState>{{0, 3, 0.5f, 0.5f, true, beamID}, {0, 3, 0.5f, 0.5f, true, arrowID}}));

  // Asked again, a known shape is sent again; an unknown one not at all.
  received.clear();
  send(msg::RequestCursorShape{arrowID});
  send(msg::RequestCursorShape{12345});
  EXPECT_EQ(receivedOf<msg::CursorShape>().size(), 1u);
  EXPECT_EQ(receivedOf<msg::CursorShape>()[0].shapeID, arrowID);

  // Hidden: the state says so, at the last position.
  received.clear();
  cursor->show(3, arrow(), false);
  cursor->current->shape.reset();
  loop.advance(40ms);
  EXPECT_EQ(receivedOf<msg::CursorState>(), (std::vector<msg::CursorState>{{0, 3, 0.5f, 0.5f, false, arrowID}}));
}

TEST_F(ExchangeTest, PositionsAreFractionsOfTheDisplayTheCursorIsOn) {
  adjustEnvironment = [](HostEnvironment& env) { env.cursorSource = nullptr; };
  const std::vector<std::pair<Point, msg::CursorState>> cases{
      {{-1440, 270}, {0, 7, 0.25f, 0.25f, true, 0}},  // Left, at negative coordinates
      {{1280, 720}, {0, 3, 1, 1, true, 0}},           // Main's far corner
      {{5000, -100}, {0, 3, 1, 0, true, 0}},          // off every display: the nearest, limited
  };
  services.injector->position = cases[0].first;
  startAccepted();
  // Zoomed into Main's top-left quarter: positions stay fractions of the whole display.
  send(msg::Viewport{Viewport{3, NormalizedRect{0, 0, 0.5f, 0.5f}, 1280, 720}});
  for (const auto& [point, state] : cases) {
    received.clear();
    services.injector->position = point;
    loop.advance(20ms);
    EXPECT_EQ(receivedOf<msg::CursorState>(), std::vector<msg::CursorState>{state});
  }
}

TEST_F(ExchangeTest, PointerEventsAreAnsweredWithTheirSequenceAtMostEvery120thSecond) {
  adjustEnvironment = [](HostEnvironment& env) { env.cursorSource = nullptr; };
  services.injector->position = Point{0, 0};
  startAccepted();
  loop.advance(20ms);  // the position task's first pass, at 1/60 s
  received.clear();
  loop.advance(10ms);  // more than 1/120 s later, before the next pass
  send(msg::Pointer{PointerEvent::MoveAbsolute{3, 0.5f, 0.5f}, 21});
  services.injector->position = Point{100, 100};
  send(msg::Pointer{PointerEvent::MoveAbsolute{3, 0.5f, 0.5f}, 22});
  EXPECT_EQ(receivedOf<msg::CursorState>(), (std::vector<msg::CursorState>{{21, 3, 0, 0, true, 0}}));
  loop.advance(17ms);  // the next pass of the position task sends where the pointer ended
  EXPECT_EQ(receivedOf<msg::CursorState>().back(), (msg::CursorState{22, 3, 100.0f / 1280, 100.0f / 720, true, 0}));
}

TEST_F(ExchangeTest, ThumbnailsComeForEveryDisplayButTheStreamedOneWhileAsked) {
  startAccepted();
  send(msg::SetThumbnails{true});  // the first round at once
  EXPECT_EQ(receivedOf<msg::Thumbnail>(), (std::vector<msg::Thumbnail>{{7, Bytes{0xFF, 0xD8, 7}}}));
  send(msg::SetThumbnails{true});  // starts over: still one task
  loop.advance(1s);
  EXPECT_EQ(receivedOf<msg::Thumbnail>().size(), 3u);
  EXPECT_EQ(thumbnails->asked, (std::vector<std::pair<std::uint32_t, int>>(3, {7, 480})));
  send(msg::SetThumbnails{false});
  loop.advance(3s);
  EXPECT_EQ(receivedOf<msg::Thumbnail>().size(), 3u);
}

TEST(CursorShapeRegistryTest, SameShapeSameIDCollidingShapesTheirOwnAndTheOldestForgottenPastTheBound) {
  CursorShapeRegistry registry;
  const auto first = registry.registerShape(arrow());
  EXPECT_EQ(first.id, CursorShapeRegistry::shapeID(arrow()));
  EXPECT_EQ(registry.registerShape(arrow()).id, first.id);
  EXPECT_EQ(registry.size(), 1u);
  // The same image with another hotspot is another shape.
  CursorShapeData moved = arrow();
  moved.hotspotX = 2;
  EXPECT_NE(registry.registerShape(moved).id, first.id);

  // Two different shapes whose IDs meet (0xae9158c5, found by trying random small images).
  const CursorShapeData one{Bytes{222, 63, 146, 38, 63, 217}, 0, 0, 16};
  const CursorShapeData other{Bytes{6, 142, 104, 147, 224, 114}, 0, 0, 16};
  ASSERT_EQ(CursorShapeRegistry::shapeID(one), CursorShapeRegistry::shapeID(other));
  CursorShapeRegistry clashing;
  const auto a = clashing.registerShape(one);
  const auto b = clashing.registerShape(other);
  EXPECT_NE(a.id, b.id);
  EXPECT_EQ(*clashing.find(a.id), one);
  EXPECT_EQ(*clashing.find(b.id), other);
  EXPECT_EQ(clashing.registerShape(other).id, b.id);  // and keeps it

  // Bounded: the shape least recently registered goes first.
  CursorShapeRegistry bounded;
  std::vector<std::uint32_t> ids;
  for (std::uint8_t i = 0; i < CursorShapeRegistry::capacity; ++i) {
    ids.push_back(bounded.registerShape(CursorShapeData{Bytes{i}, 0, 0, 8}).id);
  }
  bounded.registerShape(CursorShapeData{Bytes{0}, 0, 0, 8});  // the first is used again
  const auto overflow = bounded.registerShape(CursorShapeData{Bytes{200}, 0, 0, 8});
  EXPECT_EQ(bounded.size(), CursorShapeRegistry::capacity);
  EXPECT_EQ(overflow.forgotten, std::vector<std::uint32_t>{ids[1]});
  EXPECT_FALSE(bounded.find(ids[1]));
  EXPECT_TRUE(bounded.find(ids[0]));
}

}  // namespace
}  // namespace brindlet::host::testing

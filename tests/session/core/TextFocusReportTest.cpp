// Text focus reports over the in-process pair.

#include <gtest/gtest.h>

#include "session/core/DesktopDoubles.h"
#include "session/core/SessionFixture.h"

namespace brindlet::host::testing {
namespace {

using namespace std::chrono_literals;

class TextFocusReportTest : public SessionFixture {
 protected:
  TextFocusReportTest() {
    adjustEnvironment = [this](HostEnvironment& env) { env.textFocus = source; };
  }

  std::vector<msg::TextFocus> reports() const {
    std::vector<msg::TextFocus> out;
    for (const auto& m : received) {
      if (const auto* t = m.as<msg::TextFocus>()) out.push_back(*t);
    }
    return out;
  }
  void emit(TextFocus focus) {
    source->emit(focus);
    loop.settle();
  }
  double now() const { return std::chrono::duration<double>(loop.clock->uptimeNow()).count(); }

  std::shared_ptr<FakeTextFocusSource> source = std::make_shared<FakeTextFocusSource>();
  const TextFocus none{false, "", TextFocusKind::none, std::nullopt};
  const TextFocus field{true, "org.example.Editor", TextFocusKind::field, Rect{0, 0, 98, 98}};
};

TEST_F(TextFocusReportTest, OnlyChangesAreSentAndAMovedFieldIsNone) {
  startAccepted();
  EXPECT_EQ(source->starts, 1);
  emit(none);
  EXPECT_TRUE(reports().empty());
  emit(field);
  TextFocus moved = field;
  moved.frame = Rect{300, 300, 98, 98};
  emit(moved);
  TextFocus search{true, "org.example.Viewer", TextFocusKind::search, Rect{0, 0, 10, 10}};
  services.clicks->record({{5, 5}, now()});
  emit(search);
  ASSERT_EQ(reports().size(), 2u);
  EXPECT_EQ(reports()[0].kind, TextFocusKind::field);
  EXPECT_EQ(reports()[0].bundleID, "org.example.Editor");
  EXPECT_FALSE(reports()[0].byClick);
  // From text to text: not by click, and the click is left for later.
  EXPECT_EQ(reports()[1].kind, TextFocusKind::search);
  EXPECT_FALSE(reports()[1].byClick);
  EXPECT_TRUE(services.clicks->peek());
}

TEST_F(TextFocusReportTest, AFocusRightAfterAClickInsideIsByClick) {
  startAccepted();
  struct Case {
    Point click;
    std::chrono::milliseconds after;
    bool byClick;
  };
  const Case cases[] = {
      {{100, 100}, 400ms, true},    // the frame grown by 4 reaches 102
      {{100, 100}, 1600ms, false},  // too late
      {{101, 50}, 1500ms, true},
      {{103, 50}, 0ms, false},  // 5 outside
  };
  for (const Case& c : cases) {
    services.clicks->record({c.click, now()});
    loop.advance(c.after);
    emit(field);
    ASSERT_FALSE(reports().empty());
    EXPECT_EQ(reports().back().byClick, c.byClick) << c.click.x << " after " << c.after.count();
    EXPECT_FALSE(services.clicks->peek());
    emit(none);
  }
}

TEST_F(TextFocusReportTest, AClickIsUsedOnce) {
  startAccepted();
  services.clicks->record({{50, 50}, now()});
  emit(field);
  emit(none);
  emit(field);
  auto sent = reports();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_TRUE(sent[0].byClick);
  EXPECT_FALSE(sent[2].byClick);
}

TEST_F(TextFocusReportTest, ObservationStopsWithTheSession) {
  startSession();
  EXPECT_EQ(source->starts, 0);  // not before the hello
  send(hello());
  EXPECT_EQ(source->starts, 1);
  device->close();
  loop.settle();
  EXPECT_EQ(source->stops, 1);
}

}  // namespace
}  // namespace brindlet::host::testing

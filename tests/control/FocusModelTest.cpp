// The decisions of following the user's focus: window kinds, the target chosen from one
// observation, the debouncer on a clock of its own, the back stack, the popup's capture region
// and the match of a window by title and frame.

#include <gtest/gtest.h>

#include "host/control/FocusModel.h"
#include "host/control/WindowControlling.h"

namespace brindlet::host {
namespace {

const DisplayInfo mainDisplay{1, "Main", true, 3840, 2160, {0, 0, 1920, 1080}};
const DisplayInfo rightDisplay{2, "Right", false, 1920, 1080, {1920, 0, 1920, 1080}};
const std::vector<DisplayInfo> displays{mainDisplay, rightDisplay};
constexpr std::int32_t ownPID = 999;

ObservedWindow window(std::int32_t pid, std::optional<std::uint32_t> id, Rect frame,
                      WindowKind kind = WindowKind::standard) {
  return ObservedWindow{pid, id, "title", "App", frame, kind};
}

TEST(WindowKindTest, OnlyAResizableStandardWindowOfAnOrdinaryOwnerIsStandard) {
  struct Case {
    std::optional<std::string> subrole;
    std::optional<bool> settable;
    std::string owner;
    WindowKind kind;
  };
  const Case cases[] = {
      {"AXStandardWindow", true, "Notes", WindowKind::standard},
      {"AXStandardWindow", true, "SecurityAgent", WindowKind::transient},
      {std::nullopt, true, "Notes", WindowKind::transient},
      {"AXDialog", true, "Notes", WindowKind::transient},
      {"AXSheet", true, "Notes", WindowKind::transient},
      {"AXUnknown", true, "Notes", WindowKind::transient},
      {"AXStandardWindow", false, "Notes", WindowKind::transient},
      {"AXStandardWindow", std::nullopt, "Notes", WindowKind::transient},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.subrole.value_or("(none)") + " " + c.owner);
    EXPECT_EQ(classifyWindow(c.subrole, c.settable, c.owner), c.kind);
  }
}

TEST(FollowTargetTest, ChoosesPopupsThenOverlaysThenOtherWindows) {
  const FocusObserving::Followed following{10, 100, {100, 100, 800, 600}};
  const auto sheetInside = window(10, 101, {108, 100, 400, 300}, WindowKind::transient);  // within 8 points
  const auto sheetOutside = window(10, 101, {91, 100, 400, 300}, WindowKind::transient);  // 9 points out
  const auto tiny = window(20, 201, {300, 300, 59, 40}, WindowKind::transient);
  const auto offScreen = window(20, 202, {5000, 5000, 300, 200}, WindowKind::transient);
  const auto otherDialog = window(20, 203, {1200, 300, 300, 200}, WindowKind::transient);
  const auto overlay = window(30, 301, {900, 900, 200, 100}, WindowKind::transient);
  const auto otherWindow = window(20, 204, {0, 0, 900, 700});
  const auto hostWindow = window(ownPID, 205, {0, 0, 900, 700});
  const auto followedItself = window(10, 100, {100, 100, 800, 600});
  const auto withoutID = window(20, std::nullopt, {0, 0, 900, 700});

  struct Case {
    const char* name;
    FocusObservation observation;
    FollowTarget expected;
  };
  const Case cases[] = {
      {"sheet on the followed window", {sheetInside, {}}, FollowTarget::none()},
      {"sheet 9 points out", {sheetOutside, {}}, FollowTarget::makePopup(sheetOutside)},
      {"tiny popup falls to the overlay", {tiny, {overlay}}, FollowTarget::makePopup(overlay)},
      {"popup on no display", {offScreen, {}}, FollowTarget::none()},
      {"another app's dialog", {otherDialog, {overlay}}, FollowTarget::makePopup(otherDialog)},
      {"overlay before another window", {otherWindow, {overlay}}, FollowTarget::makePopup(overlay)},
      {"another window", {otherWindow, {}}, FollowTarget::makeWindow(otherWindow)},
      {"the host's own window", {hostWindow, {}}, FollowTarget::none()},
      {"the followed window itself", {followedItself, {}}, FollowTarget::none()},
      {"a window without a number", {withoutID, {}}, FollowTarget::none()},
      {"nothing focused", {std::nullopt, {}}, FollowTarget::none()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FollowTarget::choose(c.observation, following, ownPID, displays), c.expected);
  }
}

TEST(FollowTargetTest, KeysOfPopupsWithoutNumbersAreTheSameForOneProcess) {
  auto popup = [](std::int32_t pid, std::optional<std::uint32_t> id) {
    return FollowTarget::makePopup(window(pid, id, {0, 0, 100, 100}, WindowKind::transient)).key();
  };
  EXPECT_EQ(popup(5, std::nullopt), popup(5, std::nullopt));
  EXPECT_NE(popup(5, std::nullopt), popup(5, 7));
  EXPECT_NE(popup(5, 7), FollowTarget::makeWindow(window(5, 7, {0, 0, 100, 100})).key());
  EXPECT_EQ(FollowTarget::makeWindow(window(5, std::nullopt, {0, 0, 100, 100})).key()->windowID, 0u);
  EXPECT_FALSE(FollowTarget::none().key());
}

TEST(FocusDebouncerTest, ANewTargetWinsOnlyAfterItsDelay) {
  const FollowTarget::Key a{FollowTarget::Kind::window, 1, 10};
  const FollowTarget::Key b{FollowTarget::Kind::window, 2, 20};
  FocusDebouncer d;
  d.delay = 0.3;
  EXPECT_EQ(d.observe(a, 0.0), std::nullopt);  // pending
  EXPECT_EQ(d.pendingDeadline(), 0.3);
  EXPECT_EQ(d.observe(a, 0.1), std::nullopt);  // still waiting; the first sighting counts
  EXPECT_EQ(d.observe(a, 0.31), a);            // committed
  EXPECT_EQ(d.pendingDeadline(), std::nullopt);

  // A flicker back to the committed target cancels the wait; the next sighting starts anew.
  EXPECT_EQ(d.observe(b, 1.0), a);
  EXPECT_EQ(d.observe(a, 1.1), a);
  EXPECT_EQ(d.observe(b, 1.2), a);
  EXPECT_EQ(d.observe(b, 1.4), a);
  EXPECT_EQ(d.observe(b, 1.5), b);

  // Losing every target takes effect at once.
  EXPECT_EQ(d.observe(std::nullopt, 1.6), std::nullopt);
  EXPECT_EQ(d.committed, std::nullopt);

  FocusDebouncer immediate;
  immediate.delay = 0;
  EXPECT_EQ(immediate.observe(a, 5.0), a);
}

TEST(FocusBackStackTest, KeepsTheFourMostRecentWindowsOnce) {
  FocusBackStack stack;
  for (std::uint32_t id = 1; id <= 5; ++id) stack.push({1, id, "w" + std::to_string(id), "App"});
  ASSERT_EQ(stack.entries.size(), 4u);
  EXPECT_EQ(stack.entries.front().windowID, 2u);
  stack.push({9, 3, "again", "Other"});  // moves to the top, whatever its process
  ASSERT_EQ(stack.entries.size(), 4u);
  EXPECT_EQ(stack.entries.back(), (BackEntry{9, 3, "again", "Other"}));
  EXPECT_EQ(stack.entries[0].windowID, 2u);
  EXPECT_EQ(stack.entries[1].windowID, 4u);
  stack.remove(4);
  EXPECT_EQ(stack.entries.size(), 3u);
  EXPECT_EQ(stack.entries[1].windowID, 5u);
}

TEST(FocusCaptureRegionTest, ShowsThePopupWithItsWindowWhileBothFit) {
  const Rect windowFrame{100, 100, 600, 400};
  // Together: the union grown by 24 points.
  auto together = focusCaptureRegion(windowFrame, {650, 450, 200, 100}, displays);
  ASSERT_TRUE(together);
  EXPECT_EQ(together->first.id, 1u);
  EXPECT_EQ(together->second, (Rect{76, 76, 798, 498}));
  // On another display than its window: alone.
  auto elsewhere = focusCaptureRegion(windowFrame, {2000, 100, 300, 200}, displays);
  ASSERT_TRUE(elsewhere);
  EXPECT_EQ(elsewhere->first.id, 2u);
  EXPECT_EQ(elsewhere->second, (Rect{56, 76, 348, 248}));
  // A union above 80 % of the display: the popup alone.
  auto large = focusCaptureRegion({0, 0, 1900, 1000}, {800, 400, 200, 100}, displays);
  ASSERT_TRUE(large);
  EXPECT_EQ(large->second, (Rect{776, 376, 248, 148}));
  EXPECT_FALSE(focusCaptureRegion(windowFrame, {0, 0, 10, 10}, {}));
}

TEST(WindowMatchTest, FindsAWindowByTitleAndFrame) {
  const AppWindowRef reference{7, "Report.txt", {100, 100, 800, 600}};
  struct Case {
    const char* name;
    std::vector<WindowCandidate> candidates;
    std::optional<std::size_t> expected;
  };
  const Case cases[] = {
      {"title and close frame", {{"Other", {300, 300, 800, 600}}, {"Report.txt", {101, 102, 800, 601}}}, 1},
      {"close frames of a cascade: the title wins",
       {{"Notes.txt", {101, 101, 800, 600}}, {"Report.txt", {102, 102, 800, 600}}},
       1},
      {"moved, found by title", {{"Notes.txt", {101, 101, 800, 600}}, {"Report.txt", {500, 400, 800, 600}}}, 1},
      {"title changed, found by frame",
       {{"Other", {900, 100, 400, 300}}, {"Report.txt — edited", {100, 100, 800, 600}}},
       1},
      {"3 points off is not close", {{"x", {103, 100, 800, 600}}}, std::nullopt},
      {"nothing", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(matchWindowByTitleAndFrame(reference, c.candidates), c.expected);
  }
  // An empty title never matches by title alone.
  EXPECT_EQ(matchWindowByTitleAndFrame({7, "", {0, 0, 10, 10}}, {{"", {500, 500, 10, 10}}}), std::nullopt);
}

}  // namespace
}  // namespace brindlet::host

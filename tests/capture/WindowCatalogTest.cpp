// The app and window catalog: pure functions over process and window facts.
#include <gtest/gtest.h>

#include "host/capture/CaptureScope.h"
#include "host/capture/WindowCatalog.h"

using namespace brindlet;
using namespace brindlet::host;

namespace {

DisplayInfo display(uint32_t id, float x, float y, float w, float h) {
  DisplayInfo d;
  d.id = id;
  d.frame = DisplayFrame{x, y, w, h};
  return d;
}

WindowRecord window(uint32_t id, int32_t pid, Rect frame, bool onScreen = true, int layer = 0) {
  WindowRecord w;
  w.id = id;
  w.pid = pid;
  w.frame = frame;
  w.isOnScreen = onScreen;
  w.layer = layer;
  return w;
}

RunningAppRecord app(int32_t pid, std::string name, bool frontmost = false) {
  RunningAppRecord a;
  a.pid = pid;
  a.name = std::move(name);
  a.isRegular = true;
  a.isFrontmost = frontmost;
  return a;
}

}  // namespace

TEST(CaptureScope, ComparesKindsAndValues) {
  EXPECT_TRUE(CaptureScope::app(1, {0, 0, 10, 10}).sameKind(CaptureScope::app(1, {5, 5, 1, 1})));
  EXPECT_FALSE(CaptureScope::app(1, {}).sameKind(CaptureScope::app(2, {})));
  EXPECT_TRUE(CaptureScope::region({0, 0, 1, 1}).sameKind(CaptureScope::region({})));
  EXPECT_FALSE(CaptureScope::region({}).sameKind(CaptureScope::display()));
  EXPECT_NE(CaptureScope::region({0, 0, 1, 1}), CaptureScope::region({0, 0, 1, 2}));
  EXPECT_EQ(CaptureScope(), CaptureScope::display());
}

TEST(WindowCatalog, FiltersAppWindowsBySizeVisibilityAndProbe) {
  const std::vector<WindowRecord> windows = {
      window(1, 10, {0, 0, 100, 60}),            // exactly the minimum: kept
      window(2, 10, {0, 0, 99.9, 60}),           // too narrow
      window(3, 10, {0, 0, 100, 59.9}),          // too low
      window(4, 10, {0, 0, 300, 300}, true, 3),  // not layer 0
      window(5, 20, {0, 0, 300, 300}, false),    // hidden app: kept, not minimised
      window(6, 30, {0, 0, 300, 300}, false),    // probed minimised
      window(7, 30, {0, 0, 300, 300}, false),    // probed, not minimised: dropped
      window(8, 40, {0, 0, 300, 300}, false),    // no probe, no visible window: minimised
      window(9, 10, {0, 0, 300, 300}, false),    // no probe, app has a visible window: dropped
  };
  auto kept = filterAppWindows(windows, {20}, {{30, {6}}});
  std::vector<uint32_t> ids;
  for (const auto& w : kept) ids.push_back(w.id);
  EXPECT_EQ(ids, (std::vector<uint32_t>{1, 5, 6, 8}));
  EXPECT_FALSE(kept[0].isMinimized);
  EXPECT_FALSE(kept[1].isMinimized);
  EXPECT_TRUE(kept[2].isMinimized);
  EXPECT_TRUE(kept[3].isMinimized);
}

TEST(WindowCatalog, ResolvesUnknownProcessIDsFromBundlePaths) {
  RunningAppRecord known = app(5, "Known");
  known.bundlePath = "/Apps/Known.app";
  RunningAppRecord unknown = app(0, "Editor");
  unknown.bundlePath = "/Apps/Editor.app";
  unknown.executablePath = "/Apps/Editor.app/bin/editor";
  RunningAppRecord nested = app(-1, "Helper");
  nested.bundlePath = "/Apps/Editor.app/Helpers/Helper.app";
  RunningAppRecord nothing = app(0, "Gone");
  nothing.bundlePath = "/Apps/Gone.app/";
  const std::map<int32_t, std::string> processes = {
      {5, "/Apps/Editor.app/bin/other"},  // already an app's: never given away
      {30, "/Apps/Editor.app/bin/tool"},
      {20, "/Apps/Editor.app/bin/worker"},
      {40, "/Apps/Editor.app/Helpers/Helper.app/h"},  // belongs to the nested bundle
  };
  auto resolved = resolvePIDsByBundlePath({known, unknown, nested, nothing}, processes);
  EXPECT_EQ(resolved[0].pid, 5);
  EXPECT_EQ(resolved[1].pid, 20) << "no exact executable: the smallest candidate";
  EXPECT_EQ(resolved[2].pid, 40);
  EXPECT_EQ(resolved[3].pid, 0);
  auto exact = processes;
  exact[50] = "/Apps/Editor.app/bin/editor";
  EXPECT_EQ(resolvePIDsByBundlePath({unknown}, exact)[0].pid, 50);
}

TEST(WindowCatalog, PlacesRectanglesOnDisplays) {
  const std::vector<DisplayInfo> displays = {display(1, 0, 0, 1000, 1000), display(2, 2000, 0, 1000, 1000)};
  EXPECT_EQ(displayForRect({900, 0, 200, 100}, displays)->id, 1u);
  EXPECT_EQ(displayForRect({2100, 0, 10, 10}, displays)->id, 2u);
  // Touching an edge is no overlap; between the displays the nearest frame wins.
  EXPECT_EQ(displayForRect({1000, 0, 100, 100}, displays)->id, 1u);
  EXPECT_EQ(displayForRect({1500, 0, 450, 100}, displays)->id, 2u) << "nearest frame, not nearest centre";
  const std::vector<DisplayInfo> same = {display(3, 0, 0, 100, 100), display(4, 100, 0, 100, 100)};
  EXPECT_EQ(displayForRect({50, 0, 100, 10}, same)->id, 3u) << "equal overlap: the first";
  EXPECT_FALSE(displayForRect({0, 0, 1, 1}, {}).has_value());

  const DisplayInfo second = display(2, 2000, 0, 1000, 1000);
  EXPECT_EQ(displayLocalRect({2100, 100, 200, 100}, second, 24), (Rect{76, 76, 248, 148}));
  EXPECT_EQ(displayLocalRect({0, 0, 100, 100}, second, 24), (Rect{0, 0, 1000, 1000})) << "elsewhere: whole display";

  EXPECT_EQ(clampedFrame({900, 900, 10, 10}, 300, 200, {0, 0, 1000, 1000}), (Rect{700, 800, 300, 200}));
  EXPECT_EQ(clampedFrame({50, 50, 10, 10}, 3000, 2000, {0, 0, 1000, 1000}), (Rect{0, 0, 3000, 2000}));
  NormalizedRect n = normalizedRect({250, 500, 500, 250}, display(1, 0, 0, 1000, 1000));
  EXPECT_EQ(n, (NormalizedRect{0.25f, 0.5f, 0.5f, 0.25f}));
}

TEST(WindowCatalog, GroupsWindowsIntoASortedAppList) {
  const std::vector<DisplayInfo> displays = {display(1, 0, 0, 1000, 1000)};
  RunningAppRecord background = app(4, "daemon");
  background.isRegular = false;
  const std::vector<RunningAppRecord> apps = {app(1, "zebra"), app(2, "Apple"), app(3, "mango", true), background,
                                              app(5, "Empty")};
  const std::vector<WindowRecord> windows = {
      window(10, 1, {0, 0, 200, 200}, false), window(11, 1, {5000, 5000, 200, 200}, true),
      window(12, 2, {0, 0, 200, 200}),        window(13, 3, {0, 0, 50, 50}),
      window(14, 3, {10, 10, 300, 200}),      window(15, 4, {0, 0, 300, 300})};
  auto list =
      groupWindowsByApp(apps, windows, displays, [](const RunningAppRecord& a) { return Bytes{uint8_t(a.pid)}; });
  std::vector<std::string> names;
  for (const auto& a : list) names.push_back(a.name);
  EXPECT_EQ(names, (std::vector<std::string>{"mango", "Apple", "zebra"})) << "frontmost, then by name ignoring case";
  EXPECT_EQ(list[2].icon, Bytes{1});
  ASSERT_EQ(list[2].windows.size(), 2u);
  EXPECT_EQ(list[2].windows[0].id, 11u) << "on-screen windows first";
  EXPECT_EQ(list[2].windows[0].displayID, 1u) << "far away: the nearest display";
  ASSERT_EQ(list[0].windows.size(), 1u);
  EXPECT_EQ(list[0].windows[0].frame, (DisplayFrame{10, 10, 300, 200}));

  auto noWindows = groupWindowsByApp(apps, {}, displays, nullptr);
  ASSERT_EQ(noWindows.size(), 4u) << "every regular app stays when none has a window";
  EXPECT_EQ(noWindows[0].name, "mango");
}

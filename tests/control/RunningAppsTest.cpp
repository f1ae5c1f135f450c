// Running apps without a server: which desktop entry a window's process is, the records and
// minimised sets the app list is built from, and the recent-apps order (seeded front to back
// with the app in front first, moved by activations and process ends, changes announced once
// per burst).

#include <gtest/gtest.h>

#include "host/control/RecentAppTracker.h"
#include "host/control/SystemAppProvider.h"
#include "platform/apps/RunningDesktopApps.h"
#include "platform/windows/WindowManager.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using namespace std::chrono_literals;
using Kind = RecentAppEvent::Kind;

const std::vector<platform::DesktopAppKeys> entries{
    {"org.example.Editor.desktop", "Editor", "ExampleEdit", "example-editor"},
    {"org.gnome.Calculator.desktop", "Calculator", "", "gnome-calculator"},
    {"mail.desktop", "Mail", "", "mail-client"},
    {"terminal.desktop", "Terminal", "", "example-editor"},
};

TEST(RunningApps, AWindowIsMatchedToItsEntryByClassThenIDThenProgram) {
  struct Case {
    const char* wmClass;
    const char* executable;
    std::optional<std::size_t> entry;
  };
  const std::vector<Case> cases{
      {"ExampleEdit", "something-else", 0},  // StartupWMClass wins over the program
      {"exampleedit", "", 0},                // case ignored
      {"Calculator", "", 1},                 // the ID's last part
      {"org.gnome.calculator", "", 1},       // the whole ID
      {"Mail", "", 2},
      {"Unknown", "example-editor", 0},  // the first entry that starts this program
      {"Unknown", "nothing", std::nullopt},
      {"", "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.wmClass) + " / " + c.executable);
    EXPECT_EQ(platform::matchDesktopApp(entries, c.wmClass, c.executable), c.entry);
  }
}

platform::ManagedWindow managed(std::uint32_t id, std::int32_t pid, std::string appName,
                                platform::ManagedWindowType type = platform::ManagedWindowType::normal) {
  platform::ManagedWindow w;
  w.id = id;
  w.pid = pid;
  w.title = "Window " + std::to_string(id);
  w.appName = std::move(appName);
  w.frame = {10, 10, 400, 300};
  w.type = type;
  w.viewable = true;
  return w;
}

TEST(RunningApps, RecordsComeOncePerProcessWithAnAppWindow) {
  using Type = platform::ManagedWindowType;
  const std::vector<platform::ManagedWindow> windows{
      managed(1, 300, "Panel", Type::dock),          // a panel makes no app
      managed(2, 201, "ExampleEdit"),                //
      managed(3, 202, "Whatever"),                   // launched as Mail
      managed(4, 201, "ExampleEdit", Type::dialog),  // second window: no second record
      managed(5, 203, "Stranger"),                   // no entry
      managed(6, 0, "NoPID"),                        // no process
  };
  const std::map<std::int32_t, std::string> launched{{202, "mail.desktop"}};
  auto records =
      runningAppRecords(windows, entries, launched, 203, [](std::int32_t pid) { return "prog" + std::to_string(pid); });
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0],
            (RunningAppRecord{201, "org.example.Editor.desktop", "Editor", true, false, false, "", "prog201"}));
  EXPECT_EQ(records[1].bundleID, "mail.desktop");
  EXPECT_EQ(records[1].name, "Mail");
  EXPECT_EQ(records[2].bundleID, "pid.203");
  EXPECT_EQ(records[2].name, "Stranger");
  EXPECT_TRUE(records[2].isFrontmost);
}

TEST(RunningApps, OffScreenWindowsAreKeptOnlyWhenMinimised) {
  auto window = [](std::uint32_t id, std::int32_t pid, bool onScreen, bool minimized) {
    return WindowRecord{id, pid, "", {0, 0, 400, 300}, 0, onScreen, minimized, ""};
  };
  // 11 is on another desktop (off screen, not minimised); 12 is minimised.
  const std::vector<WindowRecord> windows{window(10, 1, true, false), window(11, 1, false, false),
                                          window(12, 1, false, true), window(20, 2, true, false)};
  auto minimized = minimizedWindowsByPID(windows);
  EXPECT_EQ(minimized, (std::map<std::int32_t, std::set<std::uint32_t>>{{1, {12}}}));
  auto kept = filterAppWindows(windows, {}, minimized);
  std::vector<std::uint32_t> ids;
  for (const auto& w : kept) ids.push_back(w.id);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{10, 12, 20}));
  EXPECT_TRUE(kept[1].isMinimized);
}

TEST(RecentApps, TheSeedPutsTheAppInFrontFirst) {
  EXPECT_EQ(seedRecentPIDs({5, 7, 5, 0, -2, 9}, 9), (std::vector<std::int32_t>{9, 5, 7}));
  EXPECT_EQ(seedRecentPIDs({5, 7}, 0), (std::vector<std::int32_t>{5, 7}));
  EXPECT_EQ(seedRecentPIDs({}, 4), (std::vector<std::int32_t>{4}));
}

TEST(RecentApps, ActivationsAndEndsMoveTheOrderAndABurstIsAnnouncedOnce) {
  brindlet::testing::TestLoop loop;
  RecentAppTracker tracker(loop.io.get_executor(), loop.clock, {5, 7, 9});
  auto changes = tracker.changes();
  int announced = 0;
  Task reader = Task::spawn(loop.strand(), [](AsyncStream<Change> s, int* n) -> asio::awaitable<void> {
    while (co_await s.next()) ++*n;
  }(changes, &announced));

  struct Step {
    RecentAppEvent event;
    std::vector<std::int32_t> after;
  };
  const std::vector<Step> steps{
      {{Kind::activated, 5}, {5, 7, 9}},                                           // already first: no change
      {{Kind::activated, 0}, {5, 7, 9}},                                           // no process
      {{Kind::activated, -3}, {5, 7, 9}},     {{Kind::terminated, 4}, {5, 7, 9}},  // not listed
      {{Kind::activated, 9}, {9, 5, 7}},                                           // moves to the front, once
      {{Kind::activated, 11}, {11, 9, 5, 7}}, {{Kind::terminated, 5}, {11, 9, 7}},
  };
  int changed = 0;
  for (const auto& step : steps) {
    const auto before = tracker.pids();
    tracker.handle(step.event);
    EXPECT_EQ(tracker.pids(), step.after);
    if (tracker.pids() != before) ++changed;
  }
  EXPECT_EQ(changed, 3);
  loop.advance(1s);
  EXPECT_EQ(announced, 1);  // the burst within the debounce
  tracker.handle({Kind::activated, 7});
  loop.advance(1s);
  EXPECT_EQ(announced, 2);
  tracker.handle({Kind::activated, 7});
  loop.advance(1s);
  EXPECT_EQ(announced, 2);
  changes.finish();
  loop.settle();
}

}  // namespace
}  // namespace brindlet::host

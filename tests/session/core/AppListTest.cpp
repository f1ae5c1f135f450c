// Running apps, recent apps, bringing apps forward, launching and window pictures on the
// in-process pair: each list is sent when it changed and only then, the pointer follows an
// activated window only on the streamed display, a launch reports its states in order on the
// manual clock (superseded, failed, timed out, kept waiting, a new window only for an app in
// front), and the session's end stops every task of these requests.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "host/control/AppLaunching.h"
#include "host/control/AppProviding.h"
#include "host/control/WindowThumbnailProviding.h"
#include "session/core/SessionFixture.h"
#include "session/core/WindowDoubles.h"

namespace brindlet::host::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t notesPID = 501;
constexpr std::int32_t mailPID = 502;

class FakeApps final : public AppProviding {
 public:
  ~FakeApps() override {
    for (auto& s : appStreams) s.finish();
    for (auto& s : recentStreams) s.finish();
  }
  asio::awaitable<std::vector<AppInfo>> snapshot() override {
    ++snapshots;
    co_return apps;
  }
  AsyncStream<Change> changes() override { return appStreams.emplace_back(); }
  asio::awaitable<std::vector<std::int32_t>> recentPIDs() override { co_return recent; }
  AsyncStream<Change> recentChanges() override { return recentStreams.emplace_back(); }
  std::int32_t frontmostPID() override { return frontmost; }

  void appsChanged() {
    for (auto& s : appStreams) s.yield(Change{});
  }
  void recentChanged() {
    for (auto& s : recentStreams) s.yield(Change{});
  }
  // Subscriptions still open (a follower that ended finished its own).
  int openStreams() const {
    int open = 0;
    for (auto& list : {appStreams, recentStreams}) {
      for (auto& s : list) open += s.yield(Change{}) ? 1 : 0;
    }
    return open;
  }

  std::vector<AppInfo> apps;
  std::vector<std::int32_t> recent;
  std::int32_t frontmost = 0;
  int snapshots = 0;
  std::vector<AsyncStream<Change>> appStreams;
  std::vector<AsyncStream<Change>> recentStreams;
};

// Apps that open a window some time after they are started.
class FakeLauncher final : public AppLaunching {
 public:
  FakeLauncher(std::shared_ptr<Clock> clock, std::shared_ptr<FakeWindows> windows)
      : clock_(std::move(clock)), windows_(std::move(windows)) {}

  std::optional<std::int32_t> runningPID(const std::string& bundleID) override {
    auto found = running.find(bundleID);
    if (found == running.end()) return std::nullopt;
    return found->second;
  }
  asio::awaitable<void> launch(std::string bundleID) override {
    launched.push_back(bundleID);
    auto app = installed.find(bundleID);
    if (app == installed.end()) throw LaunchFailure(appNotFoundReason);
    if (refuses.count(bundleID)) throw std::runtime_error("exec failed");
    co_await clock_->sleep(100ms);
    running[bundleID] = app->second.pid;
    if (app->second.windowAfter) {
      auto windows = windows_;
      auto window = app->second.window;
      pending_.push_back(Task::spawn(strandOf(), showLater(clock_, windows, window, *app->second.windowAfter)));
    }
  }

  struct Installed {
    std::int32_t pid;
    WindowRecord window;
    std::optional<Clock::Duration> windowAfter;  // none: never shows a window
  };
  std::map<std::string, Installed> installed;
  std::map<std::string, std::int32_t> running;
  std::set<std::string> refuses;
  std::vector<std::string> launched;
  std::function<Strand()> strandOf;

 private:
  static asio::awaitable<void> showLater(std::shared_ptr<Clock> clock, std::shared_ptr<FakeWindows> windows,
                                         WindowRecord window, Clock::Duration after) {
    co_await clock->sleep(after);
    windows->add(window);
  }
  std::shared_ptr<Clock> clock_;
  std::shared_ptr<FakeWindows> windows_;
  std::vector<Task> pending_;
};

class FakeWindowThumbnails final : public WindowThumbnailProviding {
 public:
  asio::awaitable<std::map<std::uint32_t, Bytes>> thumbnails(std::vector<std::uint32_t> ids, int width) override {
    asked.push_back(ids);
    widths.push_back(width);
    std::map<std::uint32_t, Bytes> found;
    for (auto id : ids) {
      if (auto p = pictures.find(id); p != pictures.end()) found.emplace(id, p->second);
    }
    co_return found;
  }
  std::map<std::uint32_t, Bytes> pictures;
  std::vector<std::vector<std::uint32_t>> asked;
  std::vector<int> widths;
};

AppInfo app(std::int32_t pid, std::string name, std::vector<WindowInfo> windows = {}) {
  return AppInfo{pid, "org.example." + name + ".desktop", name, Bytes{1}, false, std::move(windows)};
}

class AppListTest : public SessionFixture {
 protected:
  void SetUp() override {
    windows = std::make_shared<FakeWindows>(loop.clock);
    launcher = std::make_shared<FakeLauncher>(loop.clock, windows);
    launcher->strandOf = [this] { return loop.strand(); };
    apps->apps = {app(notesPID, "Notes"), app(mailPID, "Mail")};
    apps->recent = {mailPID, notesPID};
    adjustEnvironment = [this](HostEnvironment& env) {
      env.apps = apps;
      env.windowControl = windows;
      env.windowTracker = windows;
      env.appLauncher = launcher;
      env.windowThumbnails = thumbs;
    };
    startAccepted();
  }

  std::vector<LaunchStatus> statuses() const {
    std::vector<LaunchStatus> found;
    for (const auto& m : received) {
      if (const auto* s = m.as<msg::LaunchStatus>()) found.push_back(s->status);
    }
    return found;
  }
  static std::vector<LaunchState> states(const std::vector<LaunchStatus>& list) {
    std::vector<LaunchState> found;
    for (const auto& s : list) found.push_back(s.state);
    return found;
  }

  std::shared_ptr<FakeApps> apps = std::make_shared<FakeApps>();
  std::shared_ptr<FakeWindows> windows;
  std::shared_ptr<FakeLauncher> launcher;
  std::shared_ptr<FakeWindowThumbnails> thumbs = std::make_shared<FakeWindowThumbnails>();
};

// MARK: App lists

TEST_F(AppListTest, EnablingSendsBothListsAtOnceThenOnlyChanges) {
  send(msg::SetAppListUpdates{true});
  ASSERT_EQ(receivedNames(), (std::vector<std::string_view>{"appList", "recentApps"}));
  EXPECT_EQ(received[0].as<msg::AppList>()->apps, apps->apps);
  EXPECT_EQ(received[1].as<msg::RecentApps>()->pids, apps->recent);

  // Nothing changed: the poll looks every second and sends nothing.
  received.clear();
  loop.advance(3500ms);
  EXPECT_GE(apps->snapshots, 4);
  EXPECT_TRUE(received.empty());

  // An app starts and becomes the most recent: the new list, then the new order.
  apps->apps.push_back(app(503, "Paint"));
  apps->recent = {503, mailPID, notesPID};
  apps->appsChanged();
  loop.settle();
  ASSERT_EQ(receivedNames(), (std::vector<std::string_view>{"appList", "recentApps"}));
  EXPECT_EQ(received[0].as<msg::AppList>()->apps.size(), 3u);

  // Only the order changes: its own signal sends it alone.
  received.clear();
  apps->recent = {notesPID, 503, mailPID};
  apps->recentChanged();
  loop.settle();
  ASSERT_EQ(receivedNames(), (std::vector<std::string_view>{"recentApps"}));
  EXPECT_EQ(received[0].as<msg::RecentApps>()->pids, apps->recent);

  // Enabling again sends both lists again, even though they did not change.
  received.clear();
  send(msg::SetAppListUpdates{true});
  EXPECT_EQ(receivedNames(), (std::vector<std::string_view>{"appList", "recentApps"}));
}

TEST_F(AppListTest, RecentListsAreCutTo64AndAnEmptyOneIsNotSentFirst) {
  apps->recent.clear();
  send(msg::SetAppListUpdates{true});
  EXPECT_EQ(receivedNames(), (std::vector<std::string_view>{"appList"}));
  received.clear();
  for (std::int32_t pid = 1; pid <= 100; ++pid) apps->recent.push_back(pid);
  apps->recentChanged();
  loop.settle();
  ASSERT_EQ(received.size(), 1u);
  const auto& pids = received[0].as<msg::RecentApps>()->pids;
  ASSERT_EQ(pids.size(), 64u);
  EXPECT_EQ(pids.front(), 1);
  EXPECT_EQ(pids.back(), 64);
}

TEST_F(AppListTest, DisablingOrTheSessionsEndStopsEveryUpdate) {
  send(msg::SetAppListUpdates{true});
  send(msg::SetAppListUpdates{false});
  received.clear();
  apps->apps.pop_back();
  apps->appsChanged();
  apps->recentChanged();
  loop.advance(3s);
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(apps->openStreams(), 0);

  send(msg::SetAppListUpdates{true});
  ASSERT_EQ(receivedNames(), (std::vector<std::string_view>{"appList", "recentApps"}));
  device->close();
  loop.settle();
  EXPECT_TRUE(sessionEnded);
  // The session's end cancelled the poll and the two followers.
  EXPECT_EQ(apps->openStreams(), 0);
  EXPECT_FALSE(loop.clock->nextDeadline().has_value());
}

// MARK: Activation

TEST_F(AppListTest, ActivationRaisesTheWindowAndMovesThePointerOnlyOnTheStreamedDisplay) {
  windows->add(appWindow(notesPID, 42, "Draft", {100, 100, 400, 300}));
  windows->add(appWindow(notesPID, 43, "Left", {-1500, 100, 400, 300}));
  windows->add(appWindow(mailPID, 60, "Inbox", {200, 120, 700, 500}));
  struct Case {
    msg::ActivateApp request;
    std::vector<std::string> calls;
    std::optional<Point> pointerBefore;
    std::optional<Point> pointerAfter;
  };
  const std::vector<Case> cases{
      // Without a window only the app comes forward.
      {{notesPID, std::nullopt, true}, {"activate 501"}, std::nullopt, std::nullopt},
      // A window of another app: the app comes forward, nothing more.
      {{notesPID, 60, true}, {"activate 501"}, std::nullopt, std::nullopt},
      // An unknown window.
      {{notesPID, 999, true}, {"activate 501"}, std::nullopt, std::nullopt},
      // On the streamed display: raised, and the pointer goes to its centre.
      {{notesPID, 42, true}, {"activate 501", "raise 501 42"}, Point{10, 10}, Point{300, 250}},
      // The pointer already inside stays where it is.
      {{notesPID, 42, true}, {"activate 501", "raise 501 42"}, Point{120, 130}, Point{120, 130}},
      // Without moveCursor it stays too.
      {{notesPID, 42, false}, {"activate 501", "raise 501 42"}, Point{10, 10}, Point{10, 10}},
      // On the other display: raised, the pointer stays.
      {{notesPID, 43, true}, {"activate 501", "raise 501 43"}, Point{10, 10}, Point{10, 10}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.calls) + " window " + std::to_string(c.request.windowID.value_or(0)));
    windows->calls.clear();
    services.injector->position = c.pointerBefore;
    send(c.request);
    EXPECT_EQ(windows->calls, c.calls);
    EXPECT_EQ(services.injector->position, c.pointerAfter);
  }
  EXPECT_TRUE(statuses().empty());
}

// MARK: Launching

TEST_F(AppListTest, ALaunchReportsItsStatesInOrderOnTheClock) {
  launcher->installed["org.example.Paint.desktop"] = {503, appWindow(503, 70, "Canvas", {100, 100, 500, 400}), 1s};
  send(msg::LaunchApp{"org.example.Paint.desktop", false});
  EXPECT_EQ(states(statuses()), (std::vector<LaunchState>{LaunchState::launching}));
  loop.advance(1500ms);
  const auto list = statuses();
  ASSERT_EQ(states(list), (std::vector<LaunchState>{LaunchState::launching, LaunchState::broughtToFront}));
  EXPECT_EQ(list[0].elapsedMs, 0u);
  // Started after 0.1 s, its window came a second later and was seen at the next look.
  EXPECT_GE(list[1].elapsedMs, 1090u);
  EXPECT_LE(list[1].elapsedMs, 1300u);
  EXPECT_EQ(list[1].bundleID, "org.example.Paint.desktop");
  EXPECT_EQ(windows->calls, (std::vector<std::string>{"activate 503", "raise 503 70"}));

  // Running with a window: no launching, just the window shown (focused when asked).
  received.clear();
  send(msg::LaunchApp{"org.example.Paint.desktop", true});
  EXPECT_EQ(states(statuses()), (std::vector<LaunchState>{LaunchState::focused}));
  EXPECT_EQ(launcher->launched.size(), 1u);
}

TEST_F(AppListTest, UnknownAndRefusedAppsFailWithTheirReason) {
  launcher->installed["org.example.Broken.desktop"] = {504, {}, std::nullopt};
  launcher->refuses.insert("org.example.Broken.desktop");
  send(msg::LaunchApp{"org.example.Missing.desktop", false});
  send(msg::LaunchApp{"org.example.Broken.desktop", false});
  loop.advance(1s);
  EXPECT_EQ(statuses(), (std::vector<LaunchStatus>{
                            {"org.example.Missing.desktop", LaunchState::launching, 0, ""},
                            {"org.example.Missing.desktop", LaunchState::failed, 0, "App not found"},
                            {"org.example.Broken.desktop", LaunchState::launching, 0, ""},
                            {"org.example.Broken.desktop", LaunchState::failed, 0, "Couldn\u2019t open the app"},
                        }));
  // The failed launch left nothing to control.
  received.clear();
  send(msg::LaunchControl{"org.example.Broken.desktop", LaunchAction::keepWaiting});
  loop.advance(20s);
  EXPECT_TRUE(received.empty());
}

TEST_F(AppListTest, ANewLaunchCancelsTheOneBeforeFirst) {
  launcher->installed["org.example.Slow.desktop"] = {505, appWindow(505, 80, "Slow", {0, 0, 400, 300}), 10s};
  launcher->installed["org.example.Paint.desktop"] = {503, appWindow(503, 70, "Canvas", {0, 0, 400, 300}), 1s};
  send(msg::LaunchApp{"org.example.Slow.desktop", false});
  loop.advance(2s);
  send(msg::LaunchApp{"org.example.Paint.desktop", false});
  loop.advance(12s);
  const auto list = statuses();
  ASSERT_EQ(states(list), (std::vector<LaunchState>{LaunchState::launching, LaunchState::cancelled,
                                                    LaunchState::launching, LaunchState::broughtToFront}));
  EXPECT_EQ(list[1].bundleID, "org.example.Slow.desktop");
  EXPECT_EQ(list[1].elapsedMs, 2000u);
  EXPECT_EQ(list[3].bundleID, "org.example.Paint.desktop");
  // The first app's window came later and was not shown.
  EXPECT_EQ(std::count(windows->calls.begin(), windows->calls.end(), "activate 505"), 0);
}

TEST_F(AppListTest, WithoutAWindowTheLaunchTimesOutAndCanKeepWaiting) {
  launcher->installed["org.example.Quiet.desktop"] = {506, appWindow(506, 90, "Late", {0, 0, 400, 300}), 25s};
  send(msg::LaunchApp{"org.example.Quiet.desktop", false});
  loop.advance(16s);
  auto list = statuses();
  ASSERT_EQ(states(list), (std::vector<LaunchState>{LaunchState::launching, LaunchState::noWindow}));
  // Started at 0.1 s, then 15 s of looking.
  EXPECT_NEAR(list[1].elapsedMs, 15100, 250);

  // A control for another app changes nothing.
  send(msg::LaunchControl{"org.example.Other.desktop", LaunchAction::cancel});
  EXPECT_EQ(statuses().size(), 2u);

  // Keeping on waiting: a full new time-out, the elapsed time counted from the first request.
  loop.advance(4s);
  send(msg::LaunchControl{"org.example.Quiet.desktop", LaunchAction::keepWaiting});
  loop.advance(6s);
  list = statuses();
  ASSERT_EQ(states(list),
            (std::vector<LaunchState>{LaunchState::launching, LaunchState::noWindow, LaunchState::broughtToFront}));
  EXPECT_NEAR(list[2].elapsedMs, 25100, 250);
  EXPECT_EQ(launcher->launched.size(), 1u);
}

TEST_F(AppListTest, ANewWindowIsAskedForOnlyOnceTheAppIsInFront) {
  launcher->installed["org.example.Notes.desktop"] = {notesPID, {}, std::nullopt};
  send(msg::LaunchApp{"org.example.Notes.desktop", false});
  loop.advance(16s);
  ASSERT_EQ(states(statuses()), (std::vector<LaunchState>{LaunchState::launching, LaunchState::noWindow}));

  // Another app stays in front: the shortcut is not typed, and the launch fails saying why.
  apps->frontmost = mailPID;
  windows->calls.clear();
  send(msg::LaunchControl{"org.example.Notes.desktop", LaunchAction::newWindow});
  loop.advance(2s);
  EXPECT_EQ(windows->calls, (std::vector<std::string>{"activate 501"}));
  EXPECT_TRUE(services.injector->keys.empty());
  auto list = statuses();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2].state, LaunchState::failed);
  EXPECT_EQ(list[2].detail, "The app didn\u2019t come to the front, so no new window was opened");

  // In front, the app gets Ctrl+N, and its new window is shown.
  received.clear();
  send(msg::LaunchApp{"org.example.Notes.desktop", false});
  loop.advance(16s);
  apps->frontmost = notesPID;
  send(msg::LaunchControl{"org.example.Notes.desktop", LaunchAction::newWindow});
  EXPECT_EQ(services.injector->keys, (std::vector<KeyEvent>{{HIDUsage::n, true, ModifierFlags::control},
                                                            {HIDUsage::n, false, ModifierFlags::control}}));
  windows->add(appWindow(notesPID, 44, "Untitled", {0, 0, 400, 300}));
  loop.advance(1s);
  EXPECT_EQ(states(statuses()),
            (std::vector<LaunchState>{LaunchState::launching, LaunchState::noWindow, LaunchState::broughtToFront}));
}

TEST_F(AppListTest, TheSessionsEndGivesUpAWaitingLaunch) {
  launcher->installed["org.example.Quiet.desktop"] = {506, {}, std::nullopt};
  send(msg::LaunchApp{"org.example.Quiet.desktop", false});
  loop.advance(1s);
  device->close();
  loop.settle();
  EXPECT_TRUE(sessionEnded);
  EXPECT_FALSE(loop.clock->nextDeadline().has_value());
}

// MARK: Window thumbnails

TEST_F(AppListTest, WindowPicturesAreSentWhenTheyChangeAndCachedOnesAtOnce) {
  thumbs->pictures = {{7, {1, 1}}, {9, {2, 2}}};
  send(msg::WindowThumbnails{true, {7, 9, 11}});
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(*received[0].as<msg::WindowThumbnail>(), (msg::WindowThumbnail{7, {1, 1}}));
  EXPECT_EQ(*received[1].as<msg::WindowThumbnail>(), (msg::WindowThumbnail{9, {2, 2}}));
  EXPECT_EQ(thumbs->widths.front(), 320);

  // Unchanged pictures are not sent again; a changed one is; a closed window sends nothing.
  received.clear();
  loop.advance(2500ms);
  EXPECT_TRUE(received.empty());
  thumbs->pictures = {{9, {3}}};
  loop.advance(1s);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(*received[0].as<msg::WindowThumbnail>(), (msg::WindowThumbnail{9, {3}}));

  // Asking again sends the cached pictures at once (the closed window's too), then captures.
  received.clear();
  thumbs->pictures.clear();
  send(msg::WindowThumbnails{true, {9, 7}});
  EXPECT_EQ(received, (std::vector<Message>{msg::WindowThumbnail{9, {3}}, msg::WindowThumbnail{7, {1, 1}}}));

  // Off: no more captures; on for other windows, the old pictures are dropped.
  received.clear();
  const auto asked = thumbs->asked.size();
  send(msg::WindowThumbnails{false, {}});
  loop.advance(3s);
  EXPECT_EQ(thumbs->asked.size(), asked);
  send(msg::WindowThumbnails{true, {11}});
  send(msg::WindowThumbnails{true, {7}});
  EXPECT_TRUE(received.empty());

  device->close();
  loop.settle();
  EXPECT_FALSE(loop.clock->nextDeadline().has_value());
}

}  // namespace
}  // namespace brindlet::host::testing

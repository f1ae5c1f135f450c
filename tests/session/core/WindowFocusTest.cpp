// Focus mode on the in-process pair: focusing a window streams its region, fitting resizes it
// to the device's picture and the session's end puts it back, the user's own focus is
// followed to other windows and popups, unfocus and focusBack return, a closed window falls
// back, and a request overtaken by a newer one changes nothing.

#include <gtest/gtest.h>

#include "host/control/FitRestoreRegistry.h"
#include "session/core/SessionFixture.h"
#include "session/core/WindowDoubles.h"

namespace brindlet::host::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t notesPID = 501;
constexpr std::int32_t mailPID = 502;
constexpr std::int32_t hostPID = 4242;

class WindowFocusTest : public SessionFixture {
 protected:
  void SetUp() override {
    windows = std::make_shared<FakeWindows>(loop.clock);
    observer = std::make_shared<FakeFocusObserver>();
    windows->add(appWindow(notesPID, 42, "Draft", {100, 100, 800, 600}));
    windows->add(appWindow(notesPID, 43, "Ideas", {300, 50, 600, 400}));
    windows->add(appWindow(mailPID, 60, "Inbox", {200, 120, 700, 500}));
    windows->visibleFrames[3] = {0, 30, 1280, 690};
    adjustEnvironment = [this](HostEnvironment& env) {
      env.windowControl = windows;
      env.windowTracker = windows;
      env.focusObserver = observer;
      env.fitRestore = registry;
      env.hostPID = hostPID;
    };
    startAccepted();
  }

  std::shared_ptr<FakeCaptureSource> capture() const { return services.captures.back(); }

  std::vector<StreamModeInfo> streamModes() const {
    std::vector<StreamModeInfo> found;
    for (const auto& m : received) {
      if (const auto* s = m.as<msg::StreamMode>()) found.push_back(s->info);
    }
    return found;
  }
  StreamModeInfo lastStreamMode() const {
    auto modes = streamModes();
    EXPECT_FALSE(modes.empty());
    return modes.empty() ? StreamModeInfo{} : modes.back();
  }
  static bool isFocusOn(const StreamModeInfo& info, std::int32_t pid, std::uint32_t id) {
    return info.mode == StreamMode::focus(pid, id);
  }

  // The user of this computer puts `window` in front.
  void userFocuses(const WindowRecord& window, WindowKind kind = WindowKind::standard) {
    observer->observation.focused =
        ObservedWindow{window.pid, window.id, window.title, window.ownerName, window.frame, kind};
    observer->notify();
    loop.settle();
  }

  std::shared_ptr<FakeWindows> windows;
  std::shared_ptr<FakeFocusObserver> observer;
  std::shared_ptr<FitRestoreRegistry> registry = std::make_shared<FitRestoreRegistry>();
};

TEST_F(WindowFocusTest, FocusStreamsOnlyTheWindowsRegion) {
  send(msg::Focus{notesPID, 42, false, true});
  ASSERT_EQ(streamModes().size(), 1u);
  const StreamModeInfo info = lastStreamMode();
  EXPECT_TRUE(isFocusOn(info, notesPID, 42));
  EXPECT_FALSE(info.fitApplied);
  EXPECT_FALSE(info.notice);
  EXPECT_FALSE(info.follow);
  // The window grown by 8 points, as fractions of the 1280 x 720 point display.
  EXPECT_FLOAT_EQ(info.surface.x, 92.0f / 1280);
  EXPECT_FLOAT_EQ(info.surface.y, 92.0f / 720);
  EXPECT_FLOAT_EQ(info.surface.width, 816.0f / 1280);
  EXPECT_FLOAT_EQ(info.surface.height, 616.0f / 720);
  EXPECT_EQ(capture()->scope, CaptureScope::app(notesPID, {92, 92, 816, 616}));
  EXPECT_EQ(capture()->lastViewport->displayID, 3u);
  EXPECT_EQ(windows->calls, (std::vector<std::string>{"activate 501", "raise 501 42"}));
  EXPECT_EQ(services.injector->position, (Point{500, 400}));  // the window's centre
}

TEST_F(WindowFocusTest, AWindowOfAnotherProcessOrNoneIsNotAvailable) {
  send(msg::Focus{mailPID, 42, false, false});
  EXPECT_EQ(lastStreamMode(), (StreamModeInfo{StreamMode::desktop(), false, "That window is no longer available",
                                              NormalizedRect::full, std::nullopt}));
  EXPECT_TRUE(capture()->scope.isDisplay());
  // In focus mode a failing request ends focus mode with the same notice.
  send(msg::Focus{notesPID, 42, false, false});
  received.clear();
  send(msg::Focus{notesPID, 999, false, false});
  ASSERT_EQ(streamModes().size(), 1u);
  EXPECT_TRUE(lastStreamMode().mode.isDesktop());
  EXPECT_EQ(lastStreamMode().notice, "That window is no longer available");
  EXPECT_TRUE(capture()->scope.isDisplay());
}

TEST_F(WindowFocusTest, AMinimisedWindowIsWaitedForUntilItComesOnScreen) {
  windows->add(appWindow(notesPID, 44, "Minimised", {100, 100, 400, 300}, false));
  windows->showAfterReads = 3;
  send(msg::Focus{notesPID, 44, false, false});
  EXPECT_TRUE(streamModes().empty());
  loop.advance(350ms);
  EXPECT_TRUE(streamModes().empty());
  loop.advance(100ms);  // the fourth look finds it
  ASSERT_EQ(streamModes().size(), 1u);
  EXPECT_TRUE(isFocusOn(lastStreamMode(), notesPID, 44));

  windows->add(appWindow(notesPID, 45, "Never", {100, 100, 400, 300}, false));
  windows->showAfterReads = -1;
  received.clear();
  send(msg::Focus{notesPID, 45, false, false});
  loop.advance(1100ms);
  EXPECT_TRUE(streamModes().empty());
  loop.advance(200ms);
  EXPECT_EQ(lastStreamMode().notice, "That window is no longer available");
}

TEST_F(WindowFocusTest, FitMakesTheWindowThePicturesShapeAndTheSessionsEndPutsItBack) {
  send(msg::Focus{notesPID, 42, true, false});
  // 2560 x 1440 pixels at scale 2 in a visible area of 1280 x 690 points: 1227 x 690, moved
  // left and up so that it stays inside.
  ASSERT_EQ(windows->frameRequests.size(), 1u);
  EXPECT_EQ(windows->frameRequests[0], (Rect{53, 30, 1227, 690}));
  EXPECT_TRUE(lastStreamMode().fitApplied);
  EXPECT_FALSE(lastStreamMode().notice);
  EXPECT_EQ(registry->count(), 1u);

  // Fitting again keeps the frame from before the first fit.
  windows->find(42)->frame = {10, 40, 500, 400};
  send(msg::Focus{notesPID, 42, true, false});
  EXPECT_EQ(registry->count(), 1u);

  // Another window fitted too; the device goes away: both come back, and nothing is left
  // for the exit to put back a second time.
  send(msg::Focus{notesPID, 43, true, false});
  EXPECT_EQ(registry->count(), 2u);
  device->close();
  loop.settle();
  EXPECT_TRUE(sessionEnded);
  EXPECT_EQ(windows->find(42)->frame, (Rect{100, 100, 800, 600}));
  EXPECT_EQ(windows->find(43)->frame, (Rect{300, 50, 600, 400}));
  EXPECT_EQ(registry->count(), 0u);
}

TEST_F(WindowFocusTest, TheExitPutsBackWindowsNoSessionRestored) {
  send(msg::Focus{notesPID, 42, true, false});
  ASSERT_NE(windows->find(42)->frame, (Rect{100, 100, 800, 600}));
  registry->restoreAll();
  EXPECT_EQ(windows->find(42)->frame, (Rect{100, 100, 800, 600}));
  EXPECT_EQ(registry->count(), 0u);
}

TEST_F(WindowFocusTest, AWindowThatCannotBeResizedIsFocusedAsItIs) {
  windows->fixedSize.insert(42);
  LogCapture log;
  send(msg::Focus{notesPID, 42, true, false});
  EXPECT_TRUE(isFocusOn(lastStreamMode(), notesPID, 42));
  EXPECT_FALSE(lastStreamMode().fitApplied);
  EXPECT_EQ(lastStreamMode().notice, "Can\u2019t resize this window");
  EXPECT_EQ(log.containing("fit: Accessibility refused to resize window 42").size(), 1u);
  EXPECT_EQ(registry->count(), 0u);
}

TEST_F(WindowFocusTest, TheUsersFocusIsFollowedToAnotherWindowOfTheApp) {
  send(msg::Focus{notesPID, 42, false, false});
  received.clear();
  windows->calls.clear();
  // Within the grace after a focus nothing is followed.
  userFocuses(*windows->find(43));
  loop.advance(700ms);
  EXPECT_TRUE(streamModes().empty());
  // The grace ends: the window is seen, and wins 0.3 s later.
  loop.advance(100ms);
  EXPECT_TRUE(streamModes().empty());
  loop.advance(310ms);
  ASSERT_EQ(streamModes().size(), 1u);
  const StreamModeInfo info = lastStreamMode();
  EXPECT_TRUE(isFocusOn(info, notesPID, 43));
  EXPECT_EQ(info.follow, (FocusFollowInfo{FocusFollowInfo::Kind::window, "Notes", "Ideas", true}));
  // Following does not bring the app forward itself.
  EXPECT_TRUE(std::none_of(windows->calls.begin(), windows->calls.end(),
                           [](const std::string& c) { return c.rfind("activate", 0) == 0; }));

  // focusBack returns to the window followed away from; the device is on its own then.
  received.clear();
  send(msg::FocusBack{});
  EXPECT_TRUE(isFocusOn(lastStreamMode(), notesPID, 42));
  EXPECT_FALSE(lastStreamMode().follow);
  received.clear();
  send(msg::FocusBack{});
  EXPECT_TRUE(lastStreamMode().mode.isDesktop());
  EXPECT_EQ(lastStreamMode().notice, "Nothing to go back to");
}

TEST_F(WindowFocusTest, FocusAlternatingFasterThanTheDelayNeverSwitches) {
  send(msg::Focus{notesPID, 42, false, false});
  loop.advance(810ms);
  received.clear();
  for (int i = 0; i < 10; ++i) {
    userFocuses(*windows->find(i % 2 ? 43 : 60));
    loop.advance(200ms);
  }
  EXPECT_TRUE(streamModes().empty());
}

TEST_F(WindowFocusTest, AnotherAppsDialogIsShownWithTheWindow) {
  send(msg::Focus{notesPID, 42, false, false});
  loop.advance(810ms);
  received.clear();
  WindowRecord dialog = appWindow(mailPID, 61, "Send?", {700, 300, 300, 200});
  userFocuses(dialog, WindowKind::transient);
  loop.advance(310ms);
  ASSERT_FALSE(streamModes().empty());
  const StreamModeInfo info = lastStreamMode();
  EXPECT_TRUE(isFocusOn(info, notesPID, 42));
  EXPECT_EQ(info.follow, (FocusFollowInfo{FocusFollowInfo::Kind::popup, "Notes", "Send?", false}));
  // Both, grown by 24 points and cut at the display's bottom edge: another app's popup makes the scope a plain region.
  EXPECT_EQ(capture()->scope, CaptureScope::region({76, 76, 948, 644}));

  // The dialog goes: back to the window alone.
  received.clear();
  observer->observation.focused.reset();
  observer->notify();
  loop.settle();
  ASSERT_FALSE(streamModes().empty());
  EXPECT_FALSE(lastStreamMode().follow);
  EXPECT_EQ(capture()->scope, CaptureScope::app(notesPID, {92, 92, 816, 616}));
}

TEST_F(WindowFocusTest, UnfocusReturnsToTheDisplayStreamedBefore) {
  send(msg::Unfocus{});
  EXPECT_TRUE(received.empty());  // nothing to leave
  send(msg::Focus{notesPID, 42, true, false});
  received.clear();
  send(msg::Unfocus{});
  EXPECT_EQ(lastStreamMode(),
            (StreamModeInfo{StreamMode::desktop(), false, std::nullopt, NormalizedRect::full, std::nullopt}));
  EXPECT_TRUE(capture()->scope.isDisplay());
  EXPECT_EQ(capture()->lastViewport->displayID, 3u);
  // Unfocus leaves the fitted window as it is; the session's end puts it back.
  EXPECT_NE(windows->find(42)->frame, (Rect{100, 100, 800, 600}));
  // The follow loop has ended: nothing more is observed.
  const auto looks = observer->observed.size();
  loop.advance(2s);
  EXPECT_EQ(observer->observed.size(), looks);
}

TEST_F(WindowFocusTest, AClosedWindowFallsBackToTheAppsNextWindowThenLeaves) {
  send(msg::Focus{notesPID, 42, false, false});
  received.clear();
  windows->close(42);
  loop.advance(250ms);
  ASSERT_EQ(streamModes().size(), 1u);
  EXPECT_TRUE(isFocusOn(lastStreamMode(), notesPID, 43));
  EXPECT_FALSE(lastStreamMode().follow);  // nothing to go back to

  received.clear();
  windows->close(43);
  loop.advance(250ms);
  ASSERT_EQ(streamModes().size(), 1u);
  EXPECT_TRUE(lastStreamMode().mode.isDesktop());
  EXPECT_EQ(lastStreamMode().notice, "The window was closed");
}

TEST_F(WindowFocusTest, ASwitchOvertakenByUnfocusChangesNothing) {
  send(msg::Focus{notesPID, 42, true, false});
  loop.advance(810ms);
  // The followed switch resizes its window slowly; the device leaves focus mode meanwhile.
  windows->setFrameDelay = 1s;
  userFocuses(*windows->find(43));
  loop.advance(310ms);
  ASSERT_EQ(windows->calls.back(), "setFrame 43");
  received.clear();
  send(msg::Unfocus{});
  ASSERT_EQ(streamModes().size(), 1u);
  EXPECT_TRUE(lastStreamMode().mode.isDesktop());
  loop.advance(2s);
  // The late switch neither sends nor captures its window.
  EXPECT_EQ(streamModes().size(), 1u);
  EXPECT_TRUE(capture()->scope.isDisplay());
  // Its resize happened, so the session's end still puts that window back.
  device->close();
  loop.advance(2s);
  EXPECT_EQ(windows->find(43)->frame, (Rect{300, 50, 600, 400}));
}

TEST_F(WindowFocusTest, TheSessionsEndLetsGoOfTheWindowNotices) {
  send(msg::Focus{notesPID, 42, false, false});
  send(msg::Focus{notesPID, 43, false, false});
  ASSERT_FALSE(observer->handedOut.empty());
  device->close();
  loop.settle();
  for (const auto& stream : observer->handedOut) EXPECT_TRUE(stream.isFinished());
}

TEST_F(WindowFocusTest, AFollowSwitchThatFindsNoDisplayIsNotTriedAgainUntilTheFocusMoves) {
  send(msg::Focus{notesPID, 42, true, false});
  loop.advance(810ms);
  // The switch's resize is slow, and meanwhile every display goes away.
  windows->setFrameDelay = 100ms;
  userFocuses(*windows->find(43));
  loop.advance(310ms);
  services.displays->list.clear();
  services.displays->change();
  loop.advance(200ms);
  auto resizesOf43 = [&] { return std::count(windows->calls.begin(), windows->calls.end(), "setFrame 43"); };
  ASSERT_EQ(resizesOf43(), 1);
  received.clear();
  // The user keeps that window in front: no resize again, no notice, on every later tick.
  loop.advance(2s);
  EXPECT_EQ(resizesOf43(), 1);
  EXPECT_TRUE(streamModes().empty());
  // Once the focus has moved elsewhere and back, the switch is tried again.
  services.displays->list = {DisplayInfo{3, "Main", true, 2560, 1440, {0, 0, 1280, 720}}};
  services.displays->change();
  userFocuses(*windows->find(60));
  loop.advance(100ms);
  userFocuses(*windows->find(43));
  loop.advance(1s);
  EXPECT_EQ(resizesOf43(), 2);
  EXPECT_TRUE(isFocusOn(lastStreamMode(), notesPID, 43));
}

TEST_F(WindowFocusTest, InFocusModeDisplayChangesAndResumptionFollowTheWindow) {
  send(msg::Focus{notesPID, 42, false, false});
  received.clear();
  // The main display grows: the list goes out, and the window's region is worked out anew.
  services.displays->list[1].frame = {0, 0, 1600, 900};
  services.displays->list[1].pixelWidth = 3200;
  services.displays->list[1].pixelHeight = 1800;
  services.displays->change();
  loop.settle();
  ASSERT_FALSE(received.empty());
  EXPECT_TRUE(received.front().is<msg::DisplayList>());
  ASSERT_FALSE(streamModes().empty());
  EXPECT_TRUE(isFocusOn(lastStreamMode(), notesPID, 42));
  EXPECT_FLOAT_EQ(lastStreamMode().surface.width, 816.0f / 1600);
  EXPECT_EQ(capture()->scope, CaptureScope::app(notesPID, {92, 92, 816, 616}));

  // Capture held and resumed: still the window, not the whole display.
  bool done = false;
  Task hold = perform([](HostSession& s) { return s.captureSuspended("Mac is asleep"); }, &done);
  ASSERT_TRUE(done);
  received.clear();
  done = false;
  Task resume = perform([](HostSession& s) { return s.resumeCapture(false); }, &done);
  ASSERT_TRUE(done);
  EXPECT_TRUE(isFocusOn(lastStreamMode(), notesPID, 42));
  EXPECT_EQ(capture()->scope, CaptureScope::app(notesPID, {92, 92, 816, 616}));
}

}  // namespace
}  // namespace brindlet::host::testing

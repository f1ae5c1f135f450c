// The session's window services over the test X server's window manager: a window is found,
// raised and un-minimised by the controller, resized and read back, fixed-size windows refuse;
// the tracker lists an app's windows; the focus observer tells the kind of the active window
// and which other windows float over the followed one.

#include <gtest/gtest.h>

#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "host/control/AXWindowController.h"
#include "host/control/CGWindowTracker.h"
#include "host/control/FocusModel.h"
#include "host/control/SystemFocusObserver.h"
#include "kit/support/SystemClock.h"
#include "platform/windows/ManagedTestWindow.h"
#include "platform/windows/WindowManager.h"

namespace brindlet::host {
namespace {

using brindlet::testing::ManagedTestWindow;

const DisplayInfo leftDisplay{1, "LEFT", true, 1920, 1080, {0, 0, 1920, 1080}};
const DisplayInfo rightDisplay{2, "RIGHT", false, 1920, 1080, {1920, 0, 1920, 1080}};

class SystemWindowsTest : public ::testing::Test {
 protected:
  template <class T>
  T run(asio::awaitable<T> work) {
    auto future = asio::co_spawn(io, std::move(work), asio::use_future);
    io.restart();
    io.run();
    return future.get();
  }
  AppWindowRef refOf(std::uint32_t id) {
    auto r = tracker.windowInfo(id);
    return AppWindowRef{r->id, r->title, r->frame};
  }

  asio::io_context io;
  std::shared_ptr<platform::WindowManager> manager = platform::WindowManager::open();
  AXWindowController controller{manager, SystemClock::shared()};
  CGWindowTracker tracker{manager};
  std::int32_t pid = getpid();
};

TEST_F(SystemWindowsTest, FitsAWindowAndPutsItBackAsReadFromTheServer) {
  ManagedTestWindow window({.title = "Fit me", .x = 200, .y = 150, .width = 500, .height = 350});
  const AppWindowRef before = refOf(window.id());
  auto fitted = run(controller.setFrame({60, 40, 939, 611}, pid, before));
  ASSERT_TRUE(fitted);
  EXPECT_EQ(*fitted, (Rect{60, 40, 939, 611}));
  EXPECT_EQ(tracker.windowInfo(window.id())->frame, *fitted);
  auto back = run(controller.setFrame(before.frame, pid, refOf(window.id())));
  EXPECT_EQ(back, before.frame);
  EXPECT_EQ(tracker.windowInfo(window.id())->frame, before.frame);

  // A window of a fixed size refuses; a window of another process is not found.
  ManagedTestWindow fixed({.title = "Fixed", .fixedSize = true, .width = 320, .height = 240});
  EXPECT_FALSE(run(controller.setFrame({0, 0, 640, 480}, pid, refOf(fixed.id()))));
  EXPECT_FALSE(run(controller.setFrame({0, 0, 640, 480}, pid + 1, refOf(window.id()))));
  EXPECT_FALSE(controller.focusWindow(pid + 1, refOf(window.id())));
}

TEST_F(SystemWindowsTest, RaisingFindsAMinimisedWindowAndShowsIt) {
  ManagedTestWindow window({.title = "Hidden away"});
  ManagedTestWindow other({.title = "In front", .x = 300, .y = 300});
  window.minimise();
  auto record = tracker.windowInfo(window.id());
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->isOnScreen);
  EXPECT_TRUE(record->isMinimized);
  EXPECT_TRUE(controller.focusWindow(pid, refOf(window.id())));
  EXPECT_TRUE(ManagedTestWindow::eventually([&] { return tracker.windowInfo(window.id())->isOnScreen; }));
  EXPECT_TRUE(ManagedTestWindow::eventually([&] { return manager->activeWindow() == window.id(); }));
  // The app's windows, front to back, normal-layer and large enough only.
  ManagedTestWindow small({.title = "Small", .width = 80, .height = 50});
  auto listed = tracker.windows(pid);
  EXPECT_TRUE(std::none_of(listed.begin(), listed.end(), [&](const WindowRecord& w) { return w.id == small.id(); }));
  EXPECT_TRUE(std::any_of(listed.begin(), listed.end(), [&](const WindowRecord& w) { return w.id == window.id(); }));
}

TEST_F(SystemWindowsTest, TheObserverTellsTheActiveWindowsKindAndTheWindowsOverTheFollowedOne) {
  ManagedTestWindow followed({.title = "Followed", .x = 100, .y = 100, .width = 800, .height = 600});
  ManagedTestWindow dialog(
      {.title = "Question", .type = "_NET_WM_WINDOW_TYPE_DIALOG", .x = 300, .y = 300, .width = 300, .height = 200});
  const std::vector<DisplayInfo> displays{leftDisplay, rightDisplay};
  const FocusObserving::Followed following{pid, followed.id(), tracker.windowInfo(followed.id())->frame};

  SystemFocusObserver observer(manager, nullptr, /*ownPID=*/1);
  manager->activate(dialog.id());
  ASSERT_TRUE(ManagedTestWindow::eventually([&] { return manager->activeWindow() == dialog.id(); }));
  auto seen = observer.observe(following, displays);
  ASSERT_TRUE(seen.focused);
  EXPECT_EQ(seen.focused->windowID, dialog.id());
  EXPECT_EQ(seen.focused->kind, WindowKind::transient);
  EXPECT_EQ(seen.focused->appName, "BrindletTest");

  manager->activate(followed.id());
  ASSERT_TRUE(ManagedTestWindow::eventually([&] { return manager->activeWindow() == followed.id(); }));
  seen = observer.observe(following, displays);
  ASSERT_TRUE(seen.focused);
  EXPECT_EQ(seen.focused->kind, WindowKind::standard);
  // Normal-layer windows never float over the followed one.
  EXPECT_TRUE(seen.overlays.empty());

  // A window kept above the others floats over the followed one; once it lies on the followed
  // window of its own app, it is part of it.
  ManagedTestWindow palette({.title = "Palette", .x = 850, .y = 200, .width = 200, .height = 150});
  palette.keepAbove();
  ASSERT_TRUE(ManagedTestWindow::eventually([&] { return manager->window(palette.id())->above; }));
  seen = observer.observe(following, displays);
  ASSERT_EQ(seen.overlays.size(), 1u);
  EXPECT_EQ(seen.overlays[0].windowID, palette.id());
  EXPECT_EQ(seen.overlays[0].kind, WindowKind::transient);
  manager->moveResize(palette.id(), {following.frame.x + 20, following.frame.y + 40, 200, 150});
  ASSERT_TRUE(ManagedTestWindow::eventually(
      [&] { return tracker.windowInfo(palette.id())->frame.x == following.frame.x + 20; }));
  EXPECT_TRUE(observer.observe(following, displays).overlays.empty());

  // This process's own windows are never followed: as the host's, the focused one is its own.
  SystemFocusObserver asHost(manager, nullptr, pid);
  auto target = FollowTarget::choose(asHost.observe(following, displays), following, pid, displays);
  EXPECT_EQ(target.kind, FollowTarget::Kind::none);
}

}  // namespace
}  // namespace brindlet::host

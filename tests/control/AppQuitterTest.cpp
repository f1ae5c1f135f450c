// Quitting an app under openbox: every window of an app with a normal window is closed, a
// process showing only a dock is left alone.

#include <gtest/gtest.h>

#include <algorithm>

#include "host/control/SystemAppQuitter.h"
#include "platform/windows/ManagedTestWindow.h"
#include "platform/windows/WindowManager.h"

namespace brindlet::host {
namespace {

using brindlet::testing::ManagedTestWindow;

bool listed(platform::WindowManager& manager, std::uint32_t id) {
  auto windows = manager.windowsFrontToBack();
  return std::any_of(windows.begin(), windows.end(), [id](const auto& window) { return window.id == id; });
}

TEST(AppQuitter, ClosesEveryWindowOfAnAppAndLeavesADockAlone) {
  std::shared_ptr<platform::WindowManager> manager = platform::WindowManager::open();
  SystemAppQuitter quitter(manager);
  ManagedTestWindow main({.title = "Quit me", .pid = 70001});
  ManagedTestWindow dialog({.title = "Its dialog",
                            .type = "_NET_WM_WINDOW_TYPE_DIALOG",
                            .transientFor = main.id(),
                            .pid = 70001,
                            .x = 150,
                            .y = 150,
                            .width = 200,
                            .height = 100});
  ManagedTestWindow dock(
      {.title = "A panel", .type = "_NET_WM_WINDOW_TYPE_DOCK", .pid = 70002, .width = 300, .height = 30});

  EXPECT_FALSE(quitter.quit(0));
  EXPECT_FALSE(quitter.quit(70002));
  EXPECT_FALSE(quitter.quit(70003));  // no windows at all
  EXPECT_TRUE(quitter.quit(70001));
  EXPECT_TRUE(
      ManagedTestWindow::eventually([&] { return !listed(*manager, main.id()) && !listed(*manager, dialog.id()); }));
  EXPECT_TRUE(listed(*manager, dock.id()));
}

}  // namespace
}  // namespace brindlet::host

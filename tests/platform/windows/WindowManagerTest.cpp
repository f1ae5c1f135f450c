// The window manager's windows on the test X server (Xvfb with openbox, two monitors side by
// side): the list with each window's kind and state, activating, un-minimising, moving and
// resizing read back from the server, the work area of each display, and the root window's
// notices.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "platform/screen/DisplayConfiguration.h"
#include "platform/windows/ManagedTestWindow.h"
#include "platform/windows/WindowManager.h"

namespace brindlet::platform {
namespace {

using brindlet::testing::ManagedTestWindow;

class WindowManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { manager = WindowManager::open(); }

  std::optional<ManagedWindow> listed(uint32_t id) {
    for (auto& w : manager->windowsFrontToBack()) {
      if (w.id == id) return w;
    }
    return std::nullopt;
  }
  // Where `id` stands in the list, the front being 0.
  long position(uint32_t id) {
    auto list = manager->windowsFrontToBack();
    auto at = std::find_if(list.begin(), list.end(), [&](const ManagedWindow& w) { return w.id == id; });
    return at == list.end() ? -1 : at - list.begin();
  }
  bool frameBecomes(uint32_t id, const ScreenRect& frame) {
    return ManagedTestWindow::eventually([&] {
      auto w = manager->window(id);
      return w && w->frame == frame;
    });
  }

  std::unique_ptr<WindowManager> manager;
};

TEST_F(WindowManagerTest, ListsEachKindOfWindowWithItsFacts) {
  ManagedTestWindow normal({.title = "Notes — draft", .appClass = "Notes"});
  ManagedTestWindow dialog({.title = "Save?", .type = "_NET_WM_WINDOW_TYPE_DIALOG", .x = 150, .y = 150});
  ManagedTestWindow utility({.title = "Palette", .type = "_NET_WM_WINDOW_TYPE_UTILITY", .width = 200, .height = 150});
  ManagedTestWindow transient({.title = "Sheet", .transientFor = normal.id(), .width = 300, .height = 200});
  ManagedTestWindow fixed({.title = "Fixed", .fixedSize = true, .width = 320, .height = 240});
  ManagedTestWindow anonymous({.title = "No pid", .pid = 0});

  struct Expect {
    const ManagedTestWindow* window;
    ManagedWindowType type;
    uint32_t transientFor;
    bool resizable;
  };
  for (const Expect& e :
       {Expect{&normal, ManagedWindowType::normal, 0, true}, Expect{&dialog, ManagedWindowType::dialog, 0, true},
        Expect{&utility, ManagedWindowType::utility, 0, true},
        Expect{&transient, ManagedWindowType::normal, normal.id(), true},
        Expect{&fixed, ManagedWindowType::normal, 0, false}}) {
    SCOPED_TRACE(e.window->options().title);
    auto w = listed(e.window->id());
    ASSERT_TRUE(w);
    EXPECT_EQ(w->type, e.type);
    EXPECT_EQ(w->transientFor, e.transientFor);
    EXPECT_EQ(w->resizable, e.resizable);
    EXPECT_EQ(w->title, e.window->options().title);
    EXPECT_EQ(w->pid, getpid());
    EXPECT_TRUE(w->viewable);
    EXPECT_FALSE(w->hidden);
    // The outer frame holds the client and the manager's decorations.
    EXPECT_GE(w->frame.width, e.window->options().width);
    EXPECT_GE(w->frame.height, e.window->options().height);
  }
  EXPECT_EQ(listed(normal.id())->appName, "Notes");
  // A client that does not say its process is known by the server's X-Resource answer.
  EXPECT_EQ(listed(anonymous.id())->pid, getpid());
  EXPECT_FALSE(manager->window(0x7ffffff0));
}

TEST_F(WindowManagerTest, ActivatingRaisesAndFocusesAWindow) {
  ManagedTestWindow first({.title = "First"});
  ManagedTestWindow second({.title = "Second", .x = 200, .y = 200});
  ASSERT_TRUE(ManagedTestWindow::eventually([&] { return position(second.id()) < position(first.id()); }));
  manager->activate(first.id());
  EXPECT_TRUE(ManagedTestWindow::eventually(
      [&] { return manager->activeWindow() == first.id() && position(first.id()) < position(second.id()); }));
}

TEST_F(WindowManagerTest, ActivatingAMinimisedWindowShowsItAgain) {
  ManagedTestWindow window({.title = "Minimised"});
  window.minimise();
  ASSERT_TRUE(ManagedTestWindow::eventually([&] { return manager->window(window.id())->hidden; }));
  EXPECT_FALSE(manager->window(window.id())->viewable);
  manager->activate(window.id());
  EXPECT_TRUE(ManagedTestWindow::eventually([&] {
    auto w = manager->window(window.id());
    return w->viewable && !w->hidden && manager->activeWindow() == window.id();
  }));
}

TEST_F(WindowManagerTest, MovesAndResizesTheOuterFrameAndPutsItBackExactly) {
  ManagedTestWindow window({.title = "Resizable", .x = 300, .y = 200, .width = 500, .height = 400});
  const ScreenRect before = manager->window(window.id())->frame;
  const ScreenRect fitted{40, 60, 939, 611};
  manager->moveResize(window.id(), fitted);
  EXPECT_TRUE(frameBecomes(window.id(), fitted));
  manager->moveResize(window.id(), before);
  EXPECT_TRUE(frameBecomes(window.id(), before));
}

TEST_F(WindowManagerTest, WindowsAndWorkAreasOnTheSecondMonitor) {
  auto displays = DisplayConfiguration::open()->activeDisplays();
  ASSERT_EQ(displays.size(), 2u);
  const ScreenDisplay& right = displays[0].x > displays[1].x ? displays[0] : displays[1];
  ManagedTestWindow window({.title = "Right", .x = 2200, .y = 300});
  ASSERT_TRUE(ManagedTestWindow::eventually([&] { return manager->window(window.id())->frame.x >= right.x; }));
  // Moved within the second monitor and back, in global points.
  const ScreenRect there{right.x + 100, 120, 640, 480};
  manager->moveResize(window.id(), there);
  EXPECT_TRUE(frameBecomes(window.id(), there));

  for (const ScreenDisplay& d : displays) {
    auto area = manager->workArea(d.id);
    ASSERT_TRUE(area);
    EXPECT_EQ(*area, (ScreenRect{d.x, d.y, d.width, d.height}));
  }
  EXPECT_FALSE(manager->workArea(12345));
}

TEST_F(WindowManagerTest, TheWatchTellsEachChangeOfTheActiveWindow) {
  ManagedTestWindow first({.title = "One"});
  ManagedTestWindow second({.title = "Two", .x = 220, .y = 220});
  asio::io_context io;
  std::vector<WindowManagerChange> changes;
  asio::co_spawn(io, WindowManager::watch({}, [&](WindowManagerChange c) { changes.push_back(c); }), asio::detached);
  io.run_for(std::chrono::milliseconds(100));
  changes.clear();
  manager->activate(first.id());
  auto sawActive = [&] { return std::count(changes.begin(), changes.end(), WindowManagerChange::activeWindow) > 0; };
  for (int i = 0; i < 50 && !sawActive(); ++i) io.run_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(sawActive());
  changes.clear();
  {
    ManagedTestWindow third({.title = "Three"});
    for (int i = 0; i < 50 && changes.empty(); ++i) io.run_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(std::count(changes.begin(), changes.end(), WindowManagerChange::clientList), 0);
  io.stop();
}

// A window's own icon property: the picture nearest above the size asked for, else the largest;
// whatever the property claims, nothing is read past its end.
TEST(NetWMIconPicture, PicksTheBestWholePictureAndDrawsItCentred) {
  auto picture = [](uint32_t w, uint32_t h, uint32_t argb) {
    std::vector<uint32_t> data{w, h};
    data.resize(2 + std::size_t(w) * h, argb);
    return data;
  };
  auto join = [](std::vector<std::vector<uint32_t>> parts) {
    std::vector<uint32_t> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  auto centre = [](const RGBAImage& image) {
    const uint8_t* p = &image.rgba[(std::size_t(image.height / 2) * image.width + image.width / 2) * 4];
    return std::vector<int>{p[0], p[1], p[2], p[3]};
  };
  const uint32_t red = 0xFFFF0000, green = 0xFF00FF00, blue = 0x800000FF;
  struct Case {
    const char* name;
    std::vector<uint32_t> data;
    std::optional<std::vector<int>> expected;  // the centre pixel, R G B A
  };
  const std::vector<Case> cases = {
      {"one picture", picture(4, 4, red), std::vector<int>{255, 0, 0, 255}},
      {"smallest at least the size", join({picture(64, 64, red), picture(256, 256, blue), picture(32, 32, green)}),
       std::vector<int>{0, 0, 255, 128}},
      {"else the largest", join({picture(16, 16, red), picture(48, 48, green), picture(32, 32, blue)}),
       std::vector<int>{0, 255, 0, 255}},
      {"a cut second picture is left out", join({picture(8, 8, green), {300, 300, red, red}}),
       std::vector<int>{0, 255, 0, 255}},
      {"empty", {}, std::nullopt},
      {"a size without pixels", {1000000, 1000000, red}, std::nullopt},
      {"zero width", {0, 5}, std::nullopt},
      {"a size whose product wraps", {0x10000, 0x10000, red}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto image = netWMIconPicture(c.data, 128);
    ASSERT_EQ(image.has_value(), c.expected.has_value()) << c.name;
    if (!image) continue;
    EXPECT_EQ(image->width, 128) << c.name;
    EXPECT_EQ(image->height, 128) << c.name;
    EXPECT_EQ(centre(*image), *c.expected) << c.name;
  }
  // A wide picture fills the width, centred between transparent bands.
  auto wide = netWMIconPicture(picture(32, 8, red), 128);
  ASSERT_TRUE(wide);
  EXPECT_EQ(wide->rgba[3], 0);
  EXPECT_EQ(wide->rgba[(std::size_t(64) * 128 + 0) * 4 + 3], 255);
}

}  // namespace
}  // namespace brindlet::platform

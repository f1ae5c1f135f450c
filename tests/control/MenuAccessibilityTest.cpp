// Reading and pressing the menus of a real GTK app over the accessibility bus (needs the X
// server and the session bus of the test services).

#include <gtest/gtest.h>

#include "control/AccessibilityTestApps.h"
#include "host/control/MenuReading.h"
#include "host/control/SystemMenuSource.h"
#include "kit/support/SystemClock.h"

namespace brindlet {

// Menu trees print as their titles with key, modifiers, state and mark, one node per line.
void PrintTo(const MenuNode& node, std::ostream* os) {
  *os << "\n"
      << (node.separatorBefore ? "--- " : "") << node.title << " [" << node.key << " " << int(node.modifiers)
      << (node.enabled ? "" : " disabled") << " mark " << int(node.mark) << "]";
  if (node.children.empty()) return;
  *os << " {";
  for (const auto& child : node.children) PrintTo(child, os);
  *os << " }";
}

}  // namespace brindlet

namespace brindlet::host {
namespace {

using brindlet::testing::onAccessibility;
using brindlet::testing::TestApp;

class MenuAccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(app.start(accessibility)) << app.process().output(); }

  std::optional<MenuTree> read(std::int32_t pid) {
    std::function<std::optional<MenuTree>()> job = [a = accessibility, pid] {
      return SystemMenuSource::readMenusNow(*a, *SystemClock::shared(), pid);
    };
    return onAccessibility(accessibility, job);
  }
  MenuPressResult press(std::vector<std::string> path) {
    std::function<MenuPressResult()> job = [a = accessibility, pid = app.pid(), path] {
      return SystemMenuSource::pressNow(*a, pid, path);
    };
    return onAccessibility(accessibility, job);
  }

  std::shared_ptr<platform::Accessibility> accessibility = platform::Accessibility::shared();
  TestApp app{MENU_TEST_APP, {"--title", "Menu Test"}};
};

MenuNode node(std::string title, std::string key = {}, std::uint8_t modifiers = 0, bool enabled = true,
              MenuMark mark = MenuMark::none, bool separatorBefore = false, std::vector<MenuNode> children = {}) {
  return MenuNode{std::move(title), std::move(key), modifiers, enabled, mark, separatorBefore, std::move(children)};
}

TEST_F(MenuAccessibilityTest, ReadsTheMenuBarWithTitlesShortcutsAndStates) {
  auto tree = read(app.pid());
  ASSERT_TRUE(tree);
  EXPECT_FALSE(tree->cut);
  const std::uint8_t control = MenuNode::controlKey, shift = MenuNode::shiftKey, option = MenuNode::optionKey;
  std::vector<MenuNode> expected = {
      node("File", {}, 0, true, MenuMark::none, false,
           {node("New", "N", control), node("Open", "O", control),
            node("Recent", {}, 0, true, MenuMark::none, true, {node("Alpha"), node("Beta")}),
            node("Save As", "S", control | shift, true, MenuMark::none, true)}),
      node("Edit", {}, 0, true, MenuMark::none, false,
           {node("Copy", "C", control), node("Paste", {}, 0, false), node("Find Next", "\uF706"),
            node("Select Line", "\uF700", option)}),
      // GTK 3 gives a disabled item no key binding. The fourth level keeps its items but
      // not theirs.
      node("View", {}, 0, true, MenuMark::none, false,
           {node("Ruler", {}, 0, true, MenuMark::check), node("Grid"),
            node("Zoom", {}, 0, true, MenuMark::none, false,
                 {node("Levels", {}, 0, true, MenuMark::none, false, {node("Deeper")})})}),
  };
  EXPECT_EQ(tree->menus, expected);
}

TEST_F(MenuAccessibilityTest, PressingRunsTheItemAtThePath) {
  EXPECT_EQ(press({"File", "New"}), MenuPressResult::pressed);
  EXPECT_TRUE(app.process().waitForOutput("activated File/New", std::chrono::seconds(5))) << app.process().output();
  EXPECT_EQ(press({"File", "Recent", "Beta"}), MenuPressResult::pressed);
  EXPECT_TRUE(app.process().waitForOutput("activated File/Recent/Beta", std::chrono::seconds(5)));
  EXPECT_EQ(press({"View", "Grid"}), MenuPressResult::pressed);
  EXPECT_TRUE(app.process().waitForOutput("activated View/Grid", std::chrono::seconds(5)));
}

TEST_F(MenuAccessibilityTest, PathsThatNameNoItemAreNotFound) {
  EXPECT_EQ(press({"File", "Gone"}), MenuPressResult::notFound);
  EXPECT_EQ(press({"Nothing", "New"}), MenuPressResult::notFound);
  EXPECT_EQ(press({"File", "New", "Deeper"}), MenuPressResult::notFound);
  // A menu title alone is no item.
  EXPECT_EQ(press({"File"}), MenuPressResult::notFound);
  EXPECT_EQ(app.process().count("activated"), 0u);
}

TEST_F(MenuAccessibilityTest, AProcessWithoutATreeHasNoMenus) {
  EXPECT_EQ(read(std::int32_t(getpid())), std::nullopt);
  std::function<MenuPressResult()> job = [a = accessibility] {
    return SystemMenuSource::pressNow(*a, std::int32_t(getpid()), {"File", "New"});
  };
  EXPECT_EQ(onAccessibility(accessibility, job), MenuPressResult::failed);
}

// A job may hold the last reference to the layer (its other owners gone while it ran): the
// layer still ends on the caller's side, never on its own thread under the running job.
TEST(AccessibilityLifetime, AJobHoldingTheLastReferenceEndsTheLayerOffItsThread) {
  for (int round = 0; round < 3; ++round) {
    asio::io_context io;
    std::weak_ptr<platform::Accessibility> weak;
    std::optional<int> result;
    {
      auto owner = platform::Accessibility::shared();
      weak = owner;
      platform::Accessibility* layer = owner.get();
      std::function<int()> job = [owner = std::move(owner)] { return owner ? 7 : 0; };
      asio::co_spawn(
          io,
          [](platform::Accessibility* a, std::function<int()> j, std::optional<int>* out) -> asio::awaitable<void> {
            out->emplace(co_await a->run(std::move(j)));
          }(layer, std::move(job), &result),
          asio::detached);
    }
    io.run();
    EXPECT_EQ(result, 7);
    EXPECT_TRUE(weak.expired());
  }
}

}  // namespace
}  // namespace brindlet::host

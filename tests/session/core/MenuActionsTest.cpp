// Menu actions over the in-process pair: watching the frontmost app's menus and performing
// their items.

#include <gtest/gtest.h>

#include "session/core/DesktopDoubles.h"
#include "session/core/SessionFixture.h"

namespace brindlet::host::testing {
namespace {

using namespace std::chrono_literals;

MenuNode item(std::string title, std::string key = {}, std::uint8_t modifiers = 0, bool enabled = true,
              std::vector<MenuNode> children = {}) {
  return MenuNode{std::move(title), std::move(key), modifiers, enabled, MenuMark::none, false, std::move(children)};
}

const MenuSource::FrontmostApp editor{101, "org.example.Editor", "Editor"};
const MenuSource::FrontmostApp viewer{202, "org.example.Viewer", "Viewer"};

class MenuActionsTest : public SessionFixture {
 protected:
  MenuActionsTest() {
    menus->front = editor;
    menus->trees[editor.pid] = MenuTree{editorMenus, false};
    adjustEnvironment = [this](HostEnvironment& env) {
      env.menus = menus;
      env.keyLayout = [](const std::string& c) -> std::optional<LayoutKeystroke> {
        if (c == "c") return LayoutKeystroke{8, false, false};  // the C key
        return std::nullopt;
      };
    };
  }

  std::vector<msg::AppActions> trees() const {
    std::vector<msg::AppActions> out;
    for (const auto& m : received) {
      if (const auto* a = m.as<msg::AppActions>()) out.push_back(*a);
    }
    return out;
  }
  std::vector<msg::ActionResult> results() const {
    std::vector<msg::ActionResult> out;
    for (const auto& m : received) {
      if (const auto* a = m.as<msg::ActionResult>()) out.push_back(*a);
    }
    return out;
  }
  void watch() {
    send(msg::WatchActions{true});
    loop.settle();
  }
  void perform(std::uint32_t generation, std::vector<std::string> path) {
    msg::PerformAction p;
    p.generation = generation;
    p.path = std::move(path);
    send(p);
  }

  std::vector<MenuNode> editorMenus = {
      item("File", {}, 0, true, {item("New", "N", MenuNode::commandKey), item("Print", {}, 0, false)}),
      item("Edit", {}, 0, true, {item("Copy", "c", MenuNode::commandKey), item("Paste")}),
  };
  std::shared_ptr<FakeMenuSource> menus = std::make_shared<FakeMenuSource>();
};

TEST_F(MenuActionsTest, WatchingSendsAnUnchangedTreeOnce) {
  startAccepted();
  watch();
  loop.advance(7s);
  auto sent = trees();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bundleID, "org.example.Editor");
  EXPECT_EQ(sent[0].appName, "Editor");
  EXPECT_EQ(sent[0].generation, 1u);
  EXPECT_EQ(sent[0].menus, editorMenus);
  EXPECT_GE(menus->reads, 4);  // at once, then every 2 s
}

TEST_F(MenuActionsTest, ChangesAndActivationsSendTheTreeAgainWithTheNextGeneration) {
  startAccepted();
  watch();
  // The same menus in another app are sent at once on its activation.
  menus->trees[viewer.pid] = MenuTree{editorMenus, false};
  menus->activate(viewer);
  loop.settle();
  ASSERT_EQ(trees().size(), 2u);
  EXPECT_EQ(trees()[1].bundleID, "org.example.Viewer");
  EXPECT_EQ(trees()[1].generation, 2u);
  // A change of its menus is seen on the next refresh.
  menus->trees[viewer.pid]->menus.push_back(item("Window"));
  loop.advance(2s);
  ASSERT_EQ(trees().size(), 3u);
  EXPECT_EQ(trees()[2].generation, 3u);
  EXPECT_EQ(trees()[2].menus.back().title, "Window");
}

TEST_F(MenuActionsTest, AnAppWithUnreadableMenusGetsAnEmptyTreeOnce) {
  startAccepted();
  watch();
  menus->activate(viewer);  // no tree for it
  loop.advance(5s);
  ASSERT_EQ(trees().size(), 2u);
  EXPECT_TRUE(trees()[1].menus.empty());
  // Its menus turning unreadable later leaves the device the tree it has.
  menus->activate(editor);
  loop.settle();
  menus->trees.erase(editor.pid);
  loop.advance(5s);
  EXPECT_EQ(trees().size(), 3u);
}

TEST_F(MenuActionsTest, StoppingAndWatchingAgainResendsWithoutResettingTheGeneration) {
  startAccepted();
  watch();
  send(msg::WatchActions{false});
  int reads = menus->reads;
  loop.advance(10s);
  EXPECT_EQ(menus->reads, reads);
  EXPECT_EQ(menus->subscribers(), 0u);
  watch();
  ASSERT_EQ(trees().size(), 2u);
  EXPECT_EQ(trees()[1].generation, 2u);
  EXPECT_EQ(trees()[1].menus, editorMenus);
}

TEST_F(MenuActionsTest, PerformingPressesAnEnabledItem) {
  startAccepted();
  watch();
  perform(1, {"File", "New"});
  ASSERT_EQ(menus->presses.size(), 1u);
  EXPECT_EQ(menus->presses[0].first, editor.pid);
  EXPECT_EQ(menus->presses[0].second, (std::vector<std::string>{"File", "New"}));
  ASSERT_EQ(results().size(), 1u);
  EXPECT_TRUE(results()[0].ok);
  EXPECT_EQ(results()[0].detail, "");
}

TEST_F(MenuActionsTest, FailuresAnswerWithTheirTexts) {
  startAccepted();
  watch();
  struct Case {
    std::vector<std::string> path;
    const char* detail;
  };
  const Case cases[] = {
      {{"File", "Print"}, "Not available right now"},  // disabled: never pressed
      {{}, "Action not found"},
      {{"File", "Gone"}, "Action not found"},
  };
  for (const Case& c : cases) perform(1, c.path);
  ASSERT_EQ(results().size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_FALSE(results()[i].ok);
    EXPECT_EQ(results()[i].detail, cases[i].detail);
  }
  EXPECT_TRUE(menus->presses.empty());
}

TEST_F(MenuActionsTest, AnItemThatCannotBePressedIsTypedAsItsShortcut) {
  startAccepted();
  watch();
  LogCapture log;
  menus->pressResult = MenuPressResult::notFound;
  perform(1, {"Edit", "Copy"});
  const ModifierFlags command = ModifierFlags::command;
  std::vector<KeyEvent> expected = {{HIDUsage{0xE3}, true, command},
                                    {HIDUsage::c, true, command},
                                    {HIDUsage::c, false, command},
                                    {HIDUsage{0xE3}, false, ModifierFlags()}};
  EXPECT_EQ(services.injector->keys, expected);
  EXPECT_EQ(log.containing("actions: Edit/Copy sent as shortcut").size(), 1u);
  ASSERT_EQ(results().size(), 1u);
  EXPECT_TRUE(results()[0].ok);

  // Without a shortcut the failure stands.
  perform(1, {"Edit", "Paste"});
  ASSERT_EQ(results().size(), 2u);
  EXPECT_EQ(results()[1].detail, "Not available right now");
}

TEST_F(MenuActionsTest, ARequestUnderATreeNoLongerInFrontIsRefused) {
  startAccepted();
  watch();
  menus->trees[editor.pid]->menus.push_back(item("Window"));
  loop.advance(2s);
  ASSERT_EQ(trees().size(), 2u);
  // Generation 1 is stale: neither pressed nor typed, though its item has a shortcut.
  menus->pressResult = MenuPressResult::failed;
  perform(1, {"Edit", "Copy"});
  // Another app came to the front since generation 2 was sent.
  menus->front = viewer;
  menus->trees[viewer.pid] = MenuTree{editorMenus, false};
  perform(2, {"File", "New"});
  EXPECT_TRUE(menus->presses.empty());
  EXPECT_TRUE(services.injector->keys.empty());
  ASSERT_EQ(results().size(), 2u);
  for (const auto& r : results()) EXPECT_EQ(r.detail, "Not available right now");
}

TEST_F(MenuActionsTest, ATreeSentWhileAnActionReadsMakesItStale) {
  startAccepted();
  watch();
  menus->holdReads = true;
  perform(1, {"File", "New"});
  // The action waits for its read; the session goes on with other messages meanwhile.
  send(msg::Ping{7});
  EXPECT_TRUE(received.back().is<msg::Pong>());
  menus->front = viewer;
  menus->trees[viewer.pid] = MenuTree{editorMenus, false};
  menus->activate(viewer);
  loop.settle();
  menus->releaseReads();
  loop.settle();
  menus->releaseReads();
  loop.settle();
  EXPECT_TRUE(menus->presses.empty());
  ASSERT_EQ(results().size(), 1u);
  EXPECT_EQ(results()[0].detail, "Not available right now");
}

TEST_F(MenuActionsTest, OnlyAFewActionsRunAtOnceTheRestAreRefused) {
  startAccepted();
  watch();
  menus->holdReads = true;
  for (int i = 0; i < 6; ++i) perform(1, {"File", "New"});
  loop.settle();
  // Four wait for their reads; the two past them are answered at once.
  EXPECT_EQ(results(),
            (std::vector<msg::ActionResult>{{false, "Not available right now"}, {false, "Not available right now"}}));
  menus->holdReads = false;
  menus->releaseReads();
  loop.settle();
  EXPECT_EQ(menus->presses.size(), 4u);
  ASSERT_EQ(results().size(), 6u);
  // Once they are done, actions run again.
  perform(1, {"File", "New"});
  loop.settle();
  EXPECT_EQ(menus->presses.size(), 5u);
  ASSERT_EQ(results().size(), 7u);
  EXPECT_TRUE(results().back().ok);
}

TEST_F(MenuActionsTest, AnItemPastACutTreeIsPressedAnyway) {
  startAccepted();
  watch();
  menus->trees[editor.pid]->cut = true;
  perform(1, {"Window", "Zoom"});
  ASSERT_EQ(menus->presses.size(), 1u);
  ASSERT_EQ(results().size(), 1u);
  EXPECT_TRUE(results()[0].ok);
}

TEST_F(MenuActionsTest, TheSessionsEndStopsWatching) {
  startAccepted();
  watch();
  device->close();
  loop.settle();
  EXPECT_TRUE(sessionEnded);
  int reads = menus->reads;
  loop.advance(10s);
  EXPECT_EQ(menus->reads, reads);
  EXPECT_EQ(menus->subscribers(), 0u);
}

TEST_F(MenuActionsTest, WithoutMenusNothingIsWatchedAndActionsFail) {
  adjustEnvironment = nullptr;
  startAccepted();
  watch();
  perform(0, {"File", "New"});
  EXPECT_TRUE(trees().empty());
  ASSERT_EQ(results().size(), 1u);
  EXPECT_EQ(results()[0].detail, "Not available right now");
}

}  // namespace
}  // namespace brindlet::host::testing

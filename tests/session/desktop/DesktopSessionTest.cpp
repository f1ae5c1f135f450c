// Menu actions and text focus of a session over the in-process pair, against the test GTK
// apps on the X server through the accessibility bus (needs the test services' X server and
// session bus).

#include <gtest/gtest.h>

#include "control/AccessibilityTestApps.h"
#include "host/control/CGEventInjector.h"
#include "host/control/FrontmostApps.h"
#include "host/control/LayoutReverseMap.h"
#include "host/control/SystemMenuSource.h"
#include "host/control/SystemTextFocusSource.h"
#include "kit/support/SystemClock.h"
#include "platform/input/EventPoster.h"
#include "session/core/SessionFixture.h"

namespace brindlet::host::testing {
namespace {

using namespace std::chrono_literals;
using brindlet::testing::TestApp;

// The system's menus, except that pressing never reaches the item: the session must type its
// shortcut instead.
class UnpressableMenus final : public MenuSource {
 public:
  explicit UnpressableMenus(std::shared_ptr<MenuSource> menus) : menus_(std::move(menus)) {}
  std::optional<FrontmostApp> frontmostApp() override { return menus_->frontmostApp(); }
  AsyncStream<Change> activations() override { return menus_->activations(); }
  asio::awaitable<std::optional<MenuTree>> readMenus(std::int32_t pid) override {
    co_return co_await menus_->readMenus(pid);
  }
  asio::awaitable<MenuPressResult> press(std::int32_t, std::vector<std::string>) override {
    co_return MenuPressResult::failed;
  }

 private:
  std::shared_ptr<MenuSource> menus_;
};

class DesktopSessionTest : public SessionFixture {
 protected:
  DesktopSessionTest() {
    // The X screen as the session's one display.
    services.displays->list = {{1, "Screen", true, 3840, 1080, {0, 0, 3840, 1080}}};
    adjustEnvironment = [this](HostEnvironment& env) {
      env.injector = injector;
      env.keyLayout = [this](const std::string& c) { return keyboard->keystroke(c); };
      env.menus =
          pressable ? std::shared_ptr<MenuSource>(systemMenus) : std::make_shared<UnpressableMenus>(systemMenus);
      env.textFocus = textFocus;
    };
  }

  // Starts `app` and waits until it is the app in front.
  void bringUp(TestApp& app) {
    ASSERT_TRUE(app.start(accessibility)) << app.process().output();
    ASSERT_TRUE(loop.runUntil([&] {
      auto front = frontmost->current();
      return front && front->pid == app.pid();
    }));
  }
  template <class Case>
  std::vector<Case> all() const {
    std::vector<Case> out;
    for (const auto& m : received) {
      if (const auto* c = m.template as<Case>()) out.push_back(*c);
    }
    return out;
  }
  msg::ActionResult perform(std::uint32_t generation, std::vector<std::string> path) {
    std::size_t before = all<msg::ActionResult>().size();
    msg::PerformAction p;
    p.generation = generation;
    p.path = std::move(path);
    send(p);
    EXPECT_TRUE(loop.runUntil([&] { return all<msg::ActionResult>().size() > before; }));
    auto results = all<msg::ActionResult>();
    return results.size() > before ? results.back() : msg::ActionResult{false, "(no answer)"};
  }
  std::uint32_t watchMenus() {
    send(msg::WatchActions{true});
    EXPECT_TRUE(loop.runUntil([&] { return !all<msg::AppActions>().empty(); }));
    auto trees = all<msg::AppActions>();
    return trees.empty() ? 0 : trees.back().generation;
  }

  std::shared_ptr<platform::Accessibility> accessibility = platform::Accessibility::shared();
  // Activations are told on the system clock, as the X server makes them.
  std::shared_ptr<FrontmostApps> frontmost = FrontmostApps::make(loop.io.get_executor(), SystemClock::shared());
  std::shared_ptr<SystemMenuSource> systemMenus =
      std::make_shared<SystemMenuSource>(accessibility, frontmost, loop.clock);
  std::shared_ptr<SystemTextFocusSource> textFocus =
      std::make_shared<SystemTextFocusSource>(loop.io.get_executor(), accessibility, frontmost, SystemClock::shared());
  std::shared_ptr<KeyboardLayouts> keyboard = std::make_shared<KeyboardLayouts>();
  std::shared_ptr<CGEventInjector> injector = std::make_shared<CGEventInjector>(
      std::make_shared<platform::EventPoster>(), loop.clock, CGEventInjector::systemKeyboard(keyboard));
  bool pressable = true;
};

TEST_F(DesktopSessionTest, TheFrontmostAppsMenusAreShownAndPerformed) {
  TestApp app{MENU_TEST_APP, {"--title", "Menu Test"}};
  bringUp(app);
  startAccepted();
  std::uint32_t generation = watchMenus();
  auto trees = all<msg::AppActions>();
  ASSERT_FALSE(trees.empty()) << "no menu tree arrived";
  auto tree = trees.back();
  EXPECT_EQ(tree.bundleID, "menu-test-app");
  ASSERT_EQ(tree.menus.size(), 3u);
  EXPECT_EQ(tree.menus[0].title, "File");
  ASSERT_FALSE(tree.menus[0].children.empty());
  EXPECT_EQ(tree.menus[0].children[0].key, "N");
  EXPECT_EQ(tree.menus[0].children[0].modifiers, MenuNode::controlKey);

  auto pressed = perform(generation, {"File", "Recent", "Alpha"});
  EXPECT_TRUE(pressed.ok) << pressed.detail;
  EXPECT_TRUE(app.process().waitForOutput("activated File/Recent/Alpha", 5s)) << app.process().output();

  auto disabled = perform(generation, {"Edit", "Paste"});
  EXPECT_FALSE(disabled.ok);
  EXPECT_EQ(disabled.detail, "Not available right now");
  auto gone = perform(generation, {"Edit", "Gone"});
  EXPECT_EQ(gone.detail, "Action not found");
  auto stale = perform(generation + 1, {"File", "New"});
  EXPECT_EQ(stale.detail, "Not available right now");
  EXPECT_EQ(app.process().count("activated"), 1u) << app.process().output();
}

TEST_F(DesktopSessionTest, AnotherAppComingToTheFrontSendsItsMenusAtOnce) {
  TestApp menusApp{MENU_TEST_APP, {"--title", "Menu Test"}};
  bringUp(menusApp);
  startAccepted();
  std::uint32_t first = watchMenus();
  // An app with no menu bar: an empty tree, sent on its activation without waiting for the
  // next refresh (the session's clock does not move).
  TestApp fieldsApp{TEXT_FIELD_TEST_APP, {"--title", "Text Test"}};
  bringUp(fieldsApp);
  ASSERT_TRUE(loop.runUntil([&] { return all<msg::AppActions>().size() >= 2; }));
  auto tree = all<msg::AppActions>().back();
  EXPECT_EQ(tree.generation, first + 1);
  EXPECT_EQ(tree.bundleID, "org.brindlet.TextFieldTestApp");
  EXPECT_TRUE(tree.menus.empty());
  // The first app's items are refused now.
  EXPECT_EQ(perform(first, {"File", "New"}).detail, "Not available right now");
  EXPECT_EQ(menusApp.process().count("activated"), 0u);
}

TEST_F(DesktopSessionTest, AnItemThatCannotBePressedIsTypedAsItsShortcut) {
  pressable = false;
  TestApp app{MENU_TEST_APP, {"--title", "Menu Test"}};
  bringUp(app);
  startAccepted();
  std::uint32_t generation = watchMenus();
  // Control+Shift+S, typed on the X server, runs the item.
  auto typed = perform(generation, {"File", "Save As"});
  EXPECT_TRUE(typed.ok) << typed.detail;
  EXPECT_TRUE(app.process().waitForOutput("activated File/Save As", 5s)) << app.process().output();
}

TEST_F(DesktopSessionTest, ADeviceClickIntoAFieldIsReportedAsTextFocusByClick) {
  TestApp app{TEXT_FIELD_TEST_APP, {"--title", "Text Test"}};
  bringUp(app);
  auto origin = brindlet::testing::windowOrigin(app.pid(), "Text Test");
  ASSERT_TRUE(origin);
  auto fields = app.fields();
  ASSERT_EQ(fields.size(), 5u);
  startAccepted();
  auto click = [&](const char* name) {
    const Rect& f = fields.at(name);
    float x = float((origin->x + f.x + f.width / 2) / 3840), y = float((origin->y + f.y + f.height / 2) / 1080);
    send(msg::Pointer{PointerEvent(PointerEvent::MoveAbsolute{1, x, y}), 0});
    send(msg::Pointer{PointerEvent(PointerEvent::Button{PointerButton::left, true, 1}), 0});
    send(msg::Pointer{PointerEvent(PointerEvent::Button{PointerButton::left, false, 1}), 0});
  };
  auto reportOf = [&](TextFocusKind kind) -> std::optional<msg::TextFocus> {
    std::optional<msg::TextFocus> found;
    loop.runUntil([&] {
      for (const auto& t : all<msg::TextFocus>()) {
        if (t.kind == kind) found = t;
      }
      return found.has_value();
    });
    return found;
  };
  click("text");
  auto text = reportOf(TextFocusKind::field);
  ASSERT_TRUE(text);
  EXPECT_TRUE(text->isText);
  EXPECT_TRUE(text->byClick);
  // Tab moves on to the password field: text to text, not by a click.
  injector->key(KeyEvent{HIDUsage::tab, true, {}});
  injector->key(KeyEvent{HIDUsage::tab, false, {}});
  auto secure = reportOf(TextFocusKind::secure);
  ASSERT_TRUE(secure);
  EXPECT_FALSE(secure->byClick);
  click("button");
  auto none = reportOf(TextFocusKind::none);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->isText);
}

}  // namespace
}  // namespace brindlet::host::testing

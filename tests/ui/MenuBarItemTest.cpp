#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/ui/MenuBarItem.h"
#include "platform/log/Log.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using brindlet::testing::TestLoop;

// The platform's item as a record of what it was told; the test plays the tray through the
// handlers it was given.
struct FakeItemRecord {
  platform::StatusItemOptions options;
  platform::StatusItem::Handlers handlers;
  std::vector<std::string> symbols;
};

class FakeItem final : public platform::StatusItem {
 public:
  explicit FakeItem(FakeItemRecord* record) : record_(record) {}
  void setSymbol(const std::string& symbol) override { record_->symbols.push_back(symbol); }
  void setMenu(std::vector<MenuEntry>) override {}

 private:
  FakeItemRecord* record_;
};

class MenuBarItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous = platform::setLogObserver([this](const platform::LogRecord& r) { logged.push_back(r.message); });
    MenuBarItem::Panel panel;
    panel.show = [this](bool byUser) { calls.push_back(byUser ? "show" : "show by the host"); };
    panel.toggle = [this] { calls.push_back("toggle"); };
    panel.setOpensFromTray = [this](bool fromTray) { calls.push_back(fromTray ? "from tray" : "as window"); };
    item = MenuBarItem::start(
        loop.strand(),
        [this](platform::StatusItemOptions options, platform::StatusItem::Handlers handlers) {
          record.options = std::move(options);
          record.handlers = std::move(handlers);
          return std::make_unique<FakeItem>(&record);
        },
        std::move(panel), [this] { calls.push_back("quit"); });
  }
  void TearDown() override { platform::setLogObserver(previous); }

  bool loggedLine(const std::string& text) const {
    for (const std::string& line : logged) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  TestLoop loop;
  FakeItemRecord record;
  std::vector<std::string> calls;
  std::vector<std::string> logged;
  platform::LogObserver previous;
  std::shared_ptr<MenuBarItem> item;
};

TEST_F(MenuBarItemTest, OffersThePanelAndQuitUnderTheApplicationsName) {
  EXPECT_EQ(record.options.id, "io.tavix.nolu.host");
  EXPECT_EQ(record.options.title, "Nolu Host");
  EXPECT_EQ(record.options.symbol, "circle.circle");
  ASSERT_EQ(record.options.menu.size(), 2u);
  EXPECT_EQ(record.options.menu[0].label, "Nolu Host");
  EXPECT_EQ(record.options.menu[1].label, "Quit Nolu Host");
  EXPECT_TRUE(record.options.menu[1].separatorBefore);

  // Clicks come from the item's own thread; they act on the main strand.
  record.handlers.activate();
  record.handlers.menuEntry(0);
  EXPECT_TRUE(calls.empty());
  loop.settle();
  record.handlers.menuEntry(7);  // not an entry of this menu
  record.handlers.menuEntry(1);
  loop.settle();
  EXPECT_EQ(calls, (std::vector<std::string>{"toggle", "toggle", "quit"}));
}

TEST_F(MenuBarItemTest, ThePanelOpensAsAWindowWhenNoTrayShowsTheItem) {
  record.handlers.availability(false, "no StatusNotifierWatcher runs on the session bus");
  loop.settle();
  EXPECT_EQ(calls, (std::vector<std::string>{"as window", "show by the host"}));
  EXPECT_TRUE(loggedLine("no tray: no StatusNotifierWatcher runs on the session bus; the panel opens as a window"));
  EXPECT_EQ(item->shown(), false);

  // A tray that comes later takes over; one that goes brings the window back.
  calls.clear();
  record.handlers.availability(true, "");
  record.handlers.availability(false, "no StatusNotifierWatcher runs on the session bus");
  record.handlers.availability(false, "no StatusNotifierWatcher runs on the session bus");
  loop.settle();
  EXPECT_EQ(calls, (std::vector<std::string>{"from tray", "as window", "show by the host"}));
  EXPECT_TRUE(loggedLine("tray item no longer shown"));
}

TEST_F(MenuBarItemTest, WithATrayThePanelWaitsToBeOpened) {
  record.handlers.availability(true, "");
  loop.settle();
  EXPECT_EQ(calls, std::vector<std::string>{"from tray"});
  EXPECT_EQ(item->shown(), true);
  EXPECT_TRUE(loggedLine("tray item shown"));
}

TEST_F(MenuBarItemTest, TheIconFollowsWhetherASessionIsLive) {
  struct Step {
    std::optional<SessionStatus::Phase> phase;
    std::vector<std::string> symbols;
  };
  for (Step step : {Step{std::nullopt, {}}, Step{SessionStatus::Phase::negotiating, {"circle.inset.filled"}},
                    Step{SessionStatus::Phase::streaming, {"circle.inset.filled"}},
                    Step{SessionStatus::Phase::ended, {"circle.inset.filled", "circle.circle"}},
                    Step{std::nullopt, {"circle.inset.filled", "circle.circle"}}}) {
    MenuBarSnapshot snapshot;
    if (step.phase) {
      snapshot.status = SessionStatus{};
      snapshot.status->phase = *step.phase;
    }
    item->update(snapshot);
    EXPECT_EQ(record.symbols, step.symbols);
  }
}

TEST_F(MenuBarItemTest, ReportsAfterTheItemWentAreDropped) {
  auto handlers = record.handlers;
  item.reset();
  handlers.activate();
  handlers.availability(false, "gone");
  loop.settle();
  EXPECT_TRUE(calls.empty());
}

}  // namespace
}  // namespace brindlet::host

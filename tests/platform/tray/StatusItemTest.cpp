#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/power/DBusMock.h"
#include "platform/tray/StatusItem.h"
#include "support/TestStatusNotifierWatcher.h"
#include "support/TextRecorder.h"

namespace brindlet::platform {
namespace {

using namespace std::chrono_literals;
using testing::DBusMock;
using testing::TestStatusNotifierWatcher;
using testing::TrayItemClient;

// What the item handed to its owner, in order.
class Reports : public testing::TextRecorder {
 public:
  StatusItem::Handlers handlers() {
    StatusItem::Handlers h;
    h.activate = [this] { add("activate"); };
    h.menuEntry = [this](std::size_t index) { add("entry " + std::to_string(index)); };
    h.availability = [this](bool shown, const std::string& why) {
      {
        std::lock_guard lock(mutex_);
        why_ = why;
      }
      add(shown ? "shown" : "hidden");
    };
    return h;
  }
  std::string why() {
    std::lock_guard lock(mutex_);
    return why_;
  }

 private:
  std::mutex mutex_;
  std::string why_;
};

StatusItemOptions optionsOn(const std::string& address) {
  StatusItemOptions options;
  options.id = "io.tavix.nolu.host";
  options.title = "Nolu Host";
  options.menu = {{"Nolu Host"}, {"Later", false}, {"Quit Nolu Host", true, true}};
  options.busAddress = address;
  return options;
}

TEST(StatusItem, RegistersWithTheWatcherAndServesItsClicksAndMenu) {
  DBusMock bus;
  TestStatusNotifierWatcher watcher(bus.address());
  ASSERT_TRUE(watcher.started()) << watcher.failure();
  Reports reports;
  auto item = startStatusNotifierItem(optionsOn(bus.address()), reports.handlers());

  std::optional<std::string> name = watcher.waitForItem(10s);
  ASSERT_TRUE(name);
  EXPECT_EQ(name->rfind("org.kde.StatusNotifierItem-", 0), 0u) << *name;
  EXPECT_EQ(reports.waitFor(1), std::vector<std::string>{"shown"});

  TrayItemClient client(bus.address(), *name);
  EXPECT_EQ(client.property("Id"), "'io.tavix.nolu.host'");
  EXPECT_EQ(client.property("Title"), "'Nolu Host'");
  EXPECT_EQ(client.property("Status"), "'Active'");
  EXPECT_EQ(client.property("ItemIsMenu"), "false");
  EXPECT_NE(client.property("IconPixmap").find("22, 22"), std::string::npos);

  std::vector<TrayItemClient::Entry> menu = client.menu();
  ASSERT_EQ(menu.size(), 4u);
  EXPECT_EQ(menu[0].label, "Nolu Host");
  EXPECT_EQ(menu[1].label, "Later");
  EXPECT_FALSE(menu[1].enabled);
  EXPECT_TRUE(menu[2].separator);
  EXPECT_EQ(menu[3].label, "Quit Nolu Host");

  client.activate(10, 20);
  client.click(menu[1].id);  // disabled: nothing happens
  client.click(menu[2].id);  // a separator: nothing happens
  client.click(menu[3].id);
  client.click(menu[0].id);
  EXPECT_EQ(reports.waitFor(4), (std::vector<std::string>{"shown", "activate", "entry 2", "entry 0"}));
  EXPECT_THROW(client.click(99), DBusError);
}

TEST(StatusItem, FollowsTheWatcherComingGoingAndItsTray) {
  DBusMock bus;
  Reports reports;
  auto item = startStatusNotifierItem(optionsOn(bus.address()), reports.handlers());
  EXPECT_EQ(reports.waitFor(1), std::vector<std::string>{"hidden"});
  EXPECT_NE(reports.why().find("no StatusNotifierWatcher"), std::string::npos) << reports.why();
  {
    // A watcher that starts later takes the item, but has no tray to show it in yet.
    TestStatusNotifierWatcher watcher(bus.address(), false);
    ASSERT_TRUE(watcher.started()) << watcher.failure();
    ASSERT_TRUE(watcher.waitForItem(10s));
    watcher.announceTray();
    EXPECT_EQ(reports.waitFor(2), (std::vector<std::string>{"hidden", "shown"}));
  }
  EXPECT_EQ(reports.waitFor(3), (std::vector<std::string>{"hidden", "shown", "hidden"}));
  TestStatusNotifierWatcher again(bus.address());
  ASSERT_TRUE(again.waitForItem(10s));
  EXPECT_EQ(reports.waitFor(4), (std::vector<std::string>{"hidden", "shown", "hidden", "shown"}));
}

TEST(StatusItem, AWatcherWithoutATraySaysSo) {
  DBusMock bus;
  TestStatusNotifierWatcher watcher(bus.address(), false);
  Reports reports;
  auto item = startStatusNotifierItem(optionsOn(bus.address()), reports.handlers());
  EXPECT_EQ(reports.waitFor(1), std::vector<std::string>{"hidden"});
  EXPECT_NE(reports.why().find("no tray"), std::string::npos) << reports.why();
}

TEST(StatusItem, NewIconAndMenuAreAnnouncedOnlyWhenTheyChange) {
  DBusMock bus;
  TestStatusNotifierWatcher watcher(bus.address());
  Reports reports;
  auto item = startStatusNotifierItem(optionsOn(bus.address()), reports.handlers());
  std::optional<std::string> name = watcher.waitForItem(10s);
  ASSERT_TRUE(name);
  TrayItemClient client(bus.address(), *name);
  std::string idle = client.property("IconPixmap");

  item->setSymbol(StatusItem::idleSymbol);  // unchanged
  item->setSymbol(StatusItem::activeSymbol);
  EXPECT_EQ(watcher.waitForSignals("NewIcon", 1, 10s), 1);
  EXPECT_NE(client.property("IconPixmap"), idle);

  item->setMenu({{"Nolu Host"}, {"Quit Nolu Host", true, true}});
  item->setMenu({{"Nolu Host"}, {"Quit Nolu Host", true, true}});
  item->setSymbol(StatusItem::idleSymbol);
  EXPECT_EQ(watcher.waitForSignals("NewIcon", 2, 10s), 2);
  EXPECT_EQ(watcher.waitForSignals("LayoutUpdated", 1, 1s), 1);
  EXPECT_EQ(client.property("IconPixmap"), idle);
  std::vector<TrayItemClient::Entry> menu = client.menu();
  ASSERT_EQ(menu.size(), 3u);
  EXPECT_EQ(menu[2].label, "Quit Nolu Host");
}

TEST(StatusItem, WithoutASessionBusItSaysSo) {
  Reports reports;
  auto item = startStatusNotifierItem(optionsOn("unix:path=/nonexistent/bus"), reports.handlers());
  EXPECT_EQ(reports.waitFor(1), std::vector<std::string>{"hidden"});
  EXPECT_NE(reports.why().find("no session bus"), std::string::npos) << reports.why();
  item->setSymbol(StatusItem::activeSymbol);  // harmless
}

TEST(StatusItem, SymbolsAreARingWithAnEmptyOrFilledCentre) {
  struct Case {
    const char* symbol;
    int size;
    unsigned char centreAlpha;
  };
  for (Case c :
       {Case{StatusItem::idleSymbol, 22, 0}, Case{StatusItem::activeSymbol, 22, 255},
        Case{StatusItem::idleSymbol, 48, 0}, Case{StatusItem::activeSymbol, 48, 255}, Case{"no.such.symbol", 22, 0}}) {
    std::vector<unsigned char> pixels = statusSymbolPixels(c.symbol, c.size);
    ASSERT_EQ(pixels.size(), static_cast<std::size_t>(c.size * c.size * 4));
    auto alpha = [&](int x, int y) { return pixels[(static_cast<std::size_t>(y) * c.size + x) * 4]; };
    EXPECT_EQ(alpha(c.size / 2, c.size / 2), c.centreAlpha) << c.symbol << " " << c.size;
    EXPECT_EQ(alpha(0, 0), 0) << "corner of " << c.symbol;
    EXPECT_EQ(alpha(c.size / 2, 1), 255) << "outer ring of " << c.symbol;
  }
}

}  // namespace
}  // namespace brindlet::platform

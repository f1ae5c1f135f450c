// The host as a whole with a tray: its item registers with the desktop's StatusNotifierWatcher,
// clicking the item or its menu opens and closes the panel, and where no tray runs the panel
// opens as a window of its own.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/HostHome.h"
#include "platform/storage/UserDefaults.h"
#include "support/ChildProcess.h"
#include "support/PrivateSessionBus.h"
#include "support/TestStatusNotifierWatcher.h"
#include "ui/TopLevelWindows.h"

namespace brindlet::host {
namespace {

using namespace std::chrono_literals;
using brindlet::testing::ChildProcess;
using brindlet::testing::HostHome;
using brindlet::testing::PrivateSessionBus;
using brindlet::testing::TestStatusNotifierWatcher;
using brindlet::testing::TrayItemClient;
using brindlet::testing::windowDecorated;
using brindlet::testing::windowGone;
using brindlet::testing::windowShown;

class TrayProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY") || !std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
      GTEST_SKIP() << "needs the test services: run under scripts/test-services";
    }
    // The host and the test's tray meet on a session bus of this test's own.
    bus = std::make_unique<PrivateSessionBus>("ui-tray");
    ASSERT_TRUE(bus->started()) << bus->failure();
    bus->exportToThisProcess();
    home.makeHostIdentity();
    // The guide finished, so that only the panel can open.
    platform::UserDefaults(home.settingsFile()).set("onboardingCompleted", true);
  }

  void startHost() {
    host = std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{}, home.environment());
  }

  void TearDown() override {
    if (!host) return;
    host->stop();
    if (HasFailure()) std::cerr << "host output:\n" << host->output();
  }

  HostHome home{"ui-tray"};
  std::unique_ptr<PrivateSessionBus> bus;
  std::unique_ptr<ChildProcess> host;
};

TEST_F(TrayProcessTest, TheTrayItemOpensAndClosesThePanelAndQuits) {
  TestStatusNotifierWatcher watcher(bus->address());
  ASSERT_TRUE(watcher.started()) << watcher.failure();
  startHost();
  std::optional<std::string> name = watcher.waitForItem(30s);
  ASSERT_TRUE(name) << host->output();
  ASSERT_TRUE(host->waitForOutput("tray item shown", 30s)) << host->output();
  // With a tray the panel waits to be opened.
  EXPECT_FALSE(windowShown("Nolu Host", 2s));
  EXPECT_EQ(host->count("no tray"), 0u);

  TrayItemClient item(bus->address(), *name);
  EXPECT_EQ(item.property("Title"), "'Nolu Host'");
  EXPECT_EQ(item.property("Id"), "'io.tavix.nolu.host'");

  item.activate();
  ASSERT_TRUE(windowShown("Nolu Host", 20s));
  EXPECT_FALSE(windowDecorated("Nolu Host"));
  item.activate();
  EXPECT_TRUE(windowGone("Nolu Host", 10s));

  std::vector<TrayItemClient::Entry> menu = item.menu();
  std::vector<std::string> labels;
  for (const auto& entry : menu) labels.push_back(entry.separator ? "-" : entry.label);
  ASSERT_EQ(labels, (std::vector<std::string>{"Nolu Host", "-", "Quit Nolu Host"}));
  item.click(menu[0].id);
  EXPECT_TRUE(windowShown("Nolu Host", 20s));
  item.click(menu[2].id);
  std::optional<int> status = host->waitForExit(30s);
  ASSERT_TRUE(status) << "the host still runs after Quit";
  EXPECT_TRUE(WIFEXITED(*status)) << *status;
}

TEST_F(TrayProcessTest, WithoutATrayThePanelOpensAsAWindow) {
  startHost();
  ASSERT_TRUE(host->waitForOutput(
      "no tray: no StatusNotifierWatcher runs on the session bus; the panel opens as a window", 30s))
      << host->output();
  EXPECT_TRUE(windowShown("Nolu Host", 20s));
  EXPECT_TRUE(windowDecorated("Nolu Host"));
  // Run from the build tree, the host was not installed from a package: no update checks.
  EXPECT_TRUE(host->waitForOutput("updates cannot be checked: ", 10s)) << host->output();
  EXPECT_NE(host->output().find("brindlet-host was not installed from a package"), std::string::npos);
}

}  // namespace
}  // namespace brindlet::host

#include <gtest/gtest.h>

#include <thread>

#include "host/app/UpdateController.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using brindlet::testing::TestLoop;

// An updater the test drives: it records starts and checks, and reports what the test says.
class FakeUpdater final : public platform::Updater {
 public:
  void start(Handlers handlers) override {
    ++starts;
    handlers_ = std::move(handlers);
  }
  void checkForUpdates() override { ++checks; }
  // As the updater's own thread would.
  void report(bool can) {
    std::thread([this, can] { handlers_.canCheck(can); }).join();
  }
  void finish(Outcome outcome) {
    std::thread([this, outcome] { handlers_.checked(outcome); }).join();
  }

  int starts = 0;
  int checks = 0;

 private:
  Handlers handlers_;
};

TEST(UpdateController, MirrorsWhetherTheUpdaterCanCheckOnTheMainStrand) {
  TestLoop loop;
  auto updater = std::make_shared<FakeUpdater>();
  auto controller = UpdateController::make(loop.strand(), updater, true);
  int changes = 0;
  controller->onChange = [&] { ++changes; };
  EXPECT_EQ(updater->starts, 1);
  EXPECT_FALSE(controller->canCheckForUpdates());

  // A check is passed on only while one is possible.
  controller->checkForUpdates();
  EXPECT_EQ(updater->checks, 0);

  updater->report(false);  // the current value at once: no change
  updater->report(true);
  EXPECT_FALSE(controller->canCheckForUpdates());  // written on the main strand, not the updater's thread
  loop.settle();
  EXPECT_TRUE(controller->canCheckForUpdates());
  EXPECT_EQ(changes, 1);
  updater->report(true);
  loop.settle();
  EXPECT_EQ(changes, 1);

  controller->checkForUpdates();
  EXPECT_EQ(updater->checks, 1);
  std::vector<platform::Updater::Outcome::Kind> outcomes;
  controller->onChecked = [&](const platform::Updater::Outcome& outcome) { outcomes.push_back(outcome.kind); };
  updater->finish({platform::Updater::Outcome::Kind::available, "2.0", ""});
  loop.settle();
  EXPECT_EQ(outcomes, std::vector<platform::Updater::Outcome::Kind>{platform::Updater::Outcome::Kind::available});

  updater->report(false);
  loop.settle();
  EXPECT_FALSE(controller->canCheckForUpdates());
  EXPECT_EQ(changes, 2);
}

TEST(UpdateController, AProcessHostingTestsNeverStartsTheUpdater) {
  TestLoop loop;
  auto updater = std::make_shared<FakeUpdater>();
  auto controller = UpdateController::make(loop.strand(), updater, false);
  EXPECT_EQ(updater->starts, 0);
  controller->checkForUpdates();
  EXPECT_EQ(updater->checks, 0);
  EXPECT_FALSE(controller->canCheckForUpdates());
  // Without an updater nothing can be checked either.
  auto none = UpdateController::make(loop.strand(), nullptr, true);
  none->checkForUpdates();
  EXPECT_FALSE(none->canCheckForUpdates());
}

TEST(UpdateController, ReportsAfterTheControllerWentAreDropped) {
  TestLoop loop;
  auto updater = std::make_shared<FakeUpdater>();
  auto controller = UpdateController::make(loop.strand(), updater, true);
  int changes = 0;
  controller->onChange = [&] { ++changes; };
  updater->report(true);
  controller.reset();
  updater->report(false);
  loop.settle();
  EXPECT_EQ(changes, 0);
}

TEST(UpdateController, TellsWhatACheckFound) {
  using Kind = platform::Updater::Outcome::Kind;
  struct Case {
    platform::Updater::Outcome outcome;
    const char* message;
    const char* text;
  };
  for (const Case& c :
       {Case{{Kind::available, "1.1", ""},
             "A new version of Nolu Host is available.",
             "Version 1.1 can be installed with the system's software updater."},
        Case{{Kind::upToDate, "1.0", ""}, "Nolu Host is up to date.", "Version 1.0 is the newest version."},
        Case{{Kind::upToDate, "", ""}, "Nolu Host is up to date.", ""},
        Case{{Kind::failed, "", "no network"}, "Updates could not be checked.", "no network"}}) {
    HostWindows::Alert alert = UpdateController::alert(c.outcome);
    EXPECT_EQ(alert.title, "Check for Updates");
    EXPECT_EQ(alert.message, c.message);
    EXPECT_EQ(alert.text, c.text);
    EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
  }
}

}  // namespace
}  // namespace brindlet::host

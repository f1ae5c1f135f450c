// Installed apps and their icons on the in-process pair: the list arrives when the provider has
// it without holding up other messages, icons come for the known apps only and in the order
// asked, a host without the provider answers with an empty list, and the session's end cancels
// a request still being gathered.

#include <gtest/gtest.h>

#include <map>

#include "host/control/AppQuitting.h"
#include "host/control/InstalledAppsProviding.h"
#include "session/core/SessionFixture.h"

namespace brindlet::host::testing {
namespace {

using namespace std::chrono_literals;

class SlowInstalledApps final : public InstalledAppsProviding {
 public:
  explicit SlowInstalledApps(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

  asio::awaitable<std::vector<InstalledApp>> apps() override {
    ++scans;
    co_await clock_->sleep(2s);  // a scan takes time
    co_return list;
  }
  asio::awaitable<Bytes> icon(std::string bundleID) override {
    co_await clock_->sleep(100ms);
    auto found = icons.find(bundleID);
    co_return found == icons.end() ? Bytes{} : found->second;
  }

  std::vector<InstalledApp> list{{"org.example.Editor.desktop", "Editor", 7}, {"org.example.Mail.desktop", "Mail", 0}};
  std::map<std::string, Bytes> icons{
      {"org.example.Editor.desktop", {1, 2, 3}}, {"org.example.Paint.desktop", {4}}, {"org.example.Mail.desktop", {}}};
  int scans = 0;

 private:
  std::shared_ptr<Clock> clock_;
};

class RecordingQuitter final : public AppQuitting {
 public:
  bool quit(std::int32_t pid) override {
    asked.push_back(pid);
    return true;
  }
  std::vector<std::int32_t> asked;
};

constexpr std::int32_t hostPID = 4242;

class AppsTest : public SessionFixture {
 protected:
  void start(bool withProvider = true) {
    provider = std::make_shared<SlowInstalledApps>(loop.clock);
    adjustEnvironment = [this, withProvider](HostEnvironment& env) {
      env.installedApps = withProvider ? provider : nullptr;
      env.appQuitter = quitter;
      env.hostPID = hostPID;
    };
    startAccepted();
  }
  std::shared_ptr<SlowInstalledApps> provider;
  std::shared_ptr<RecordingQuitter> quitter = std::make_shared<RecordingQuitter>();
};

TEST_F(AppsTest, InstalledAppsArriveWhenScannedWithoutHoldingUpOtherRequests) {
  start();
  send(msg::RequestInstalledApps{});
  send(msg::Ping{7});
  ASSERT_EQ(receivedNames(), (std::vector<std::string_view>{"pong"}));
  loop.advance(2s);
  ASSERT_EQ(receivedNames(), (std::vector<std::string_view>{"pong", "installedApps"}));
  EXPECT_EQ(received[1].as<msg::InstalledApps>()->apps, provider->list);
}

TEST_F(AppsTest, IconsComeForKnownAppsOnlyInTheOrderAsked) {
  start();
  send(msg::RequestAppIcons{{"org.example.Paint.desktop", "org.example.Unknown.desktop", "org.example.Mail.desktop",
                             "org.example.Editor.desktop"}});
  loop.advance(1s);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].as<msg::AppIcon>()->bundleID, "org.example.Paint.desktop");
  EXPECT_EQ(received[0].as<msg::AppIcon>()->png, (Bytes{4}));
  EXPECT_EQ(received[1].as<msg::AppIcon>()->bundleID, "org.example.Editor.desktop");
  EXPECT_EQ(received[1].as<msg::AppIcon>()->png, (Bytes{1, 2, 3}));
}

TEST_F(AppsTest, WithoutTheProviderTheListIsEmptyAndNoIconsCome) {
  start(false);
  send(msg::RequestInstalledApps{});
  send(msg::RequestAppIcons{{"org.example.Editor.desktop"}});
  loop.advance(3s);
  ASSERT_EQ(receivedNames(), (std::vector<std::string_view>{"installedApps"}));
  EXPECT_TRUE(received[0].as<msg::InstalledApps>()->apps.empty());
}

TEST_F(AppsTest, TheSessionsEndCancelsWhatIsStillBeingGathered) {
  start();
  send(msg::RequestInstalledApps{});
  send(msg::RequestAppIcons{{"org.example.Editor.desktop"}});
  EXPECT_EQ(provider->scans, 1);
  device->close();
  loop.settle();
  EXPECT_TRUE(sessionEnded);
  // Nothing waits on the clock any more: the scan and the icon were given up with the session.
  EXPECT_FALSE(loop.clock->nextDeadline().has_value());
}

TEST_F(AppsTest, QuitAsksOtherAppsOnlyAndAnswersNothing) {
  start();
  for (std::int32_t pid : {0, -3, hostPID, 501}) send(msg::QuitApp{pid});
  EXPECT_EQ(quitter->asked, (std::vector<std::int32_t>{501}));
  EXPECT_TRUE(received.empty());
}

}  // namespace
}  // namespace brindlet::host::testing

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "host/app/KeepDisplayAwakeSetting.h"
#include "host/app/SystemPowerManager.h"
#include "platform/log/Log.h"
#include "platform/power/DBusMock.h"
#include "platform/storage/UserDefaults.h"

namespace brindlet::host {
namespace {

using testing::DBusMock;

class SystemPowerManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mock_.startScreenSaver();
    bus_ = std::make_shared<platform::DBusBus>(mock_.address());
    power_ = std::make_unique<SystemPowerManager>(std::make_shared<platform::PowerAssertions>(bus_));
  }
  void addScreenSaverMethods() {
    mock_.addMethod(DBusMock::screenSaver, "Inhibit", "ss", "u",
                    "self.cookie = getattr(self, 'cookie', 40) + 1\nret = dbus.UInt32(self.cookie)");
    mock_.addMethod(DBusMock::screenSaver, "UnInhibit", "u", "", "");
    mock_.addMethod(DBusMock::screenSaver, "SimulateUserActivity", "", "", "");
  }

  DBusMock mock_;
  std::shared_ptr<platform::DBusBus> bus_;
  std::unique_ptr<SystemPowerManager> power_;
};

TEST_F(SystemPowerManagerTest, HeldAssertionsAreReleasedOnceEachWhateverTheOrder) {
  addScreenSaverMethods();
  auto first = power_->holdDisplayAwake("Nolu remote session");
  auto second = power_->holdDisplayAwake("Nolu remote session");
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  EXPECT_EQ(mock_.calls(DBusMock::screenSaver, "Inhibit"),
            (std::vector<std::string>{"'Nolu Host','Nolu remote session'", "'Nolu Host','Nolu remote session'"}));
  EXPECT_EQ(power_->held(), (std::set<PowerManaging::AssertionID>{*first, *second}));

  EXPECT_TRUE(power_->release(*first));
  EXPECT_FALSE(power_->release(*first));  // already released: the bus is not asked again
  power_->releaseAll();
  power_->releaseAll();  // nothing left
  EXPECT_FALSE(power_->release(*second));
  EXPECT_TRUE(power_->held().empty());
  EXPECT_EQ(mock_.calls(DBusMock::screenSaver, "UnInhibit"),
            (std::vector<std::string>{std::to_string(*first), std::to_string(*second)}));
}

TEST_F(SystemPowerManagerTest, AFailedAssertionLogsItsCodeAndHoldsNothing) {
  std::vector<platform::LogRecord> records;
  auto previous = platform::setLogObserver([&](const platform::LogRecord& r) { records.push_back(r); });
  auto id = power_->holdDisplayAwake("Nolu remote session");  // the screen saver has no Inhibit method
  platform::setLogObserver(previous);
  EXPECT_FALSE(id);
  EXPECT_TRUE(power_->held().empty());
  bool logged = false;
  for (const auto& r : records) {
    logged |= r.category == "session" && r.level == platform::LogLevel::error &&
              r.message.rfind("display-sleep assertion failed: ", 0) == 0;
  }
  EXPECT_TRUE(logged);
}

TEST_F(SystemPowerManagerTest, WakingTheDisplayDeclaresActivityAndHoldsNothing) {
  addScreenSaverMethods();
  std::vector<platform::LogRecord> records;
  auto previous = platform::setLogObserver([&](const platform::LogRecord& r) { records.push_back(r); });
  power_->wakeDisplay();
  platform::setLogObserver(previous);
  EXPECT_EQ(mock_.calls(DBusMock::screenSaver, "SimulateUserActivity").size(), 1u);
  EXPECT_TRUE(power_->held().empty());
  bool logged = false;
  for (const auto& r : records) logged |= r.message == "declared user activity (wake display) result=0";
  EXPECT_TRUE(logged);
}

TEST(KeepDisplayAwakeSetting, AbsentOrNotABooleanReadsTrue) {
  auto folder = std::filesystem::temp_directory_path() / ("keep-awake-" + std::to_string(getpid()));
  platform::UserDefaults defaults(folder / "settings.json");
  EXPECT_TRUE(keepDisplayAwakeSetting(defaults));
  defaults.set("keepDisplayAwakeWhileConnected", "no");
  EXPECT_TRUE(keepDisplayAwakeSetting(defaults));
  defaults.set("keepDisplayAwakeWhileConnected", false);
  EXPECT_FALSE(keepDisplayAwakeSetting(defaults));
  defaults.remove("keepDisplayAwakeWhileConnected");
  EXPECT_TRUE(keepDisplayAwakeSetting(defaults));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace brindlet::host

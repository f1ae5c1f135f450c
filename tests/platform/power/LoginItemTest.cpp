#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/power/LoginItem.h"

namespace brindlet::platform {
namespace {

class LoginItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("login-item-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder_);
    setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(folder_);
  }
  std::filesystem::path folder_;
};

TEST_F(LoginItemTest, RegisteringWritesAnAutostartEntryAndUnregisteringRemovesIt) {
  LoginItem item("io.tavix.nolu.host", "Nolu Host", "/opt/nolu host/bin/brindlet-host");
  EXPECT_FALSE(item.isEnabled());
  item.registerItem();
  EXPECT_EQ(item.entryPath(), folder_ / "autostart" / "io.tavix.nolu.host.desktop");
  ASSERT_TRUE(item.isEnabled());
  std::ifstream file(item.entryPath());
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_NE(text.str().find("Exec=\"/opt/nolu host/bin/brindlet-host\"\n"), std::string::npos);
  EXPECT_NE(text.str().find("Type=Application\n"), std::string::npos);
  item.unregisterItem();
  EXPECT_FALSE(item.isEnabled());
  EXPECT_NO_THROW(item.unregisterItem());
}

TEST_F(LoginItemTest, AHiddenEntryCountsAsDisabled) {
  LoginItem item("io.tavix.nolu.host", "Nolu Host", "/usr/bin/brindlet-host");
  std::filesystem::create_directories(item.entryPath().parent_path());
  std::ofstream(item.entryPath()) << "[Desktop Entry]\nType=Application\nExec=x\nHidden=true\n";
  EXPECT_FALSE(item.isEnabled());
}

TEST_F(LoginItemTest, WithoutAKnownProgramRegisteringFails) {
  LoginItem item("io.tavix.nolu.host", "Nolu Host", "");
  EXPECT_THROW(item.registerItem(), std::runtime_error);
  EXPECT_FALSE(item.isEnabled());
}

}  // namespace
}  // namespace brindlet::platform

// A program started from its desktop entry gets the user's environment: variables the host set
// for its own toolkit are back to what they were, or gone, while the host keeps its own.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/apps/RunningDesktopApps.h"
#include "platform/support/OwnEnvironment.h"

namespace brindlet::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(DesktopLaunchTest, TheProgramDoesNotInheritWhatTheHostSetForItself) {
  std::string pattern = (fs::temp_directory_path() / "desktop-launch-XXXXXX").string();
  fs::path root = mkdtemp(pattern.data());
  fs::path written = root / "environment";
  // Made before the first use of GLib reads the XDG variables.
  ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
  ::setenv("XDG_DATA_DIRS", (root / "none").c_str(), 1);
  fs::create_directories(root / "data/applications");
  std::ofstream(root / "data/applications/org.example.Env.desktop")
      << "[Desktop Entry]\nType=Application\nName=Env\nExec=/bin/sh -c \"env > " << written.string() << "\"\n";

  ::unsetenv("BRINDLET_TEST_UNSET_BEFORE");
  ::setenv("BRINDLET_TEST_SET_BEFORE", "user's", 1);
  setOwnVariable("BRINDLET_TEST_UNSET_BEFORE", "host's");
  setOwnVariable("BRINDLET_TEST_SET_BEFORE", "host's");
  setOwnVariable("BRINDLET_TEST_SET_BEFORE", "host's again");
  EXPECT_STREQ(std::getenv("BRINDLET_TEST_UNSET_BEFORE"), "host's");
  EXPECT_STREQ(std::getenv("BRINDLET_TEST_SET_BEFORE"), "host's again");

  DesktopLaunch launched = launchDesktopApp("org.example.Env.desktop");
  ASSERT_FALSE(launched.error) << launched.message;
  std::string environment;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ifstream in(written);
    std::stringstream text;
    text << in.rdbuf();
    environment = text.str();
    if (environment.find("PATH=") != std::string::npos) break;
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_NE(environment.find("PATH="), std::string::npos) << "the program did not write its environment";
  EXPECT_EQ(environment.find("BRINDLET_TEST_UNSET_BEFORE"), std::string::npos) << environment;
  EXPECT_NE(environment.find("BRINDLET_TEST_SET_BEFORE=user's\n"), std::string::npos) << environment;
  fs::remove_all(root);
}

}  // namespace
}  // namespace brindlet::platform

#include <gtest/gtest.h>

#include <cctype>
#include <thread>
#include <vector>

#include "host/HostLog.h"
#include "host/session/HostSecurity.h"
#include "pairing/TestSupport.h"

namespace brindlet::host {
namespace {

using brindlet::testing::TempFolder;

TEST(HostID, MadeOnceAndStoredAsUpperCaseText) {
  TempFolder folder;
  auto file = folder.path() / "settings.json";
  platform::UserDefaults defaults(file);
  UUID first = loadHostID(defaults);
  auto stored = defaults.string("hostID");
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, first.uuidString());
  for (char c : *stored) EXPECT_FALSE(std::islower(static_cast<unsigned char>(c))) << *stored;
  EXPECT_EQ(loadHostID(defaults), first);
  platform::UserDefaults afterRestart(file);
  EXPECT_EQ(loadHostID(afterRestart), first);
}

TEST(HostID, LowerCaseTextIsAcceptedAndNotRewritten) {
  TempFolder folder;
  platform::UserDefaults defaults(folder.path() / "settings.json");
  defaults.set("hostID", "0f8fad5b-d9cb-469f-a165-70867728950e");
  EXPECT_EQ(loadHostID(defaults).uuidString(), "0F8FAD5B-D9CB-469F-A165-70867728950E");
  EXPECT_EQ(defaults.string("hostID"), "0f8fad5b-d9cb-469f-a165-70867728950e");
}

TEST(HostID, ValuesThatAreNotAUUIDAreReplaced) {
  TempFolder folder;
  platform::UserDefaults defaults(folder.path() / "settings.json");
  // Stored values as JSON text.
  const char* bad[] = {R"("mac")", R"("")", "42", "true", R"("0f8fad5b-d9cb-469f-a165-70867728950")"};
  for (const char* value : bad) {
    ASSERT_TRUE(defaults.setJSON("hostID", value));
    std::vector<platform::LogRecord> seen;
    auto previous = platform::setLogObserver([&](const platform::LogRecord& r) { seen.push_back(r); });
    UUID id = loadHostID(defaults);
    EXPECT_EQ(loadHostID(defaults), id);
    platform::setLogObserver(previous);
    EXPECT_EQ(defaults.string("hostID"), id.uuidString()) << value;
    // The value it replaced is said once, under the settings' logger.
    ASSERT_EQ(seen.size(), 1u) << value;
    EXPECT_EQ(seen[0].category, "settings");
    EXPECT_EQ(seen[0].message,
              std::string("hostID ") + value + " in the settings is not a UUID; replaced by " + id.uuidString());
  }
}

TEST(HostID, StandardSettingsLiveInTheConfigFolder) {
  TempFolder folder;
  testing::ScopedEnvironment config("XDG_CONFIG_HOME", folder.path().string());
  platform::UserDefaults standard(platform::UserDefaults::standardFile());
  UUID id = loadHostID(standard);
  EXPECT_EQ(platform::UserDefaults(folder.path() / "Nolu" / "io.tavix.nolu.host.json").string("hostID"),
            id.uuidString());
}

TEST(HostLoggers, SubsystemAndCategories) {
  std::vector<platform::LogRecord> seen;
  auto previous = platform::setLogObserver([&](const platform::LogRecord& r) { seen.push_back(r); });
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([] { (void)transportLog(); });
  for (auto& thread : threads) thread.join();
  transportLog().notice("listener advertising on UDP %hu", static_cast<unsigned short>(51000));
  sessionLog().info("session ended");
  encoderLog().error("encode failed");
  platform::setLogObserver(previous);
  EXPECT_EQ(&transportLog(), &transportLog());
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].subsystem, "io.tavix.nolu.host");
  EXPECT_EQ(seen[0].category, "transport");
  EXPECT_EQ(seen[0].message, "listener advertising on UDP 51000");
  EXPECT_EQ(seen[1].subsystem, "io.tavix.nolu.host");
  EXPECT_EQ(seen[1].category, "session");
  EXPECT_EQ(seen[2].subsystem, "io.tavix.nolu.host");
  EXPECT_EQ(seen[2].category, "encoder");
  EXPECT_EQ(seen[2].level, platform::LogLevel::error);
}

}  // namespace
}  // namespace brindlet::host

// The kit logs under whatever subsystem the application built on it names.
#include <gtest/gtest.h>

#include <vector>

#include "kit/pairing/PairingLog.h"
#include "kit/support/KitLog.h"

namespace brindlet {
namespace {

TEST(KitLog, RecordsCarryTheSubsystemTheApplicationSet) {
  std::vector<platform::LogRecord> seen;
  auto previous = platform::setLogObserver([&](const platform::LogRecord& r) { seen.push_back(r); });
  kitLog("runtime").error("before");
  setKitLogSubsystem("io.example.device");
  pairingLog().notice("after");
  kitLog("runtime").info("again");
  setKitLogSubsystem("io.tavix.nolu.kit");
  platform::setLogObserver(previous);

  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].subsystem, "io.tavix.nolu.kit");
  EXPECT_EQ(seen[0].category, "runtime");
  EXPECT_EQ(seen[1].subsystem, "io.example.device");
  EXPECT_EQ(seen[1].category, "pairing");
  EXPECT_EQ(seen[1].message, "after");
  EXPECT_EQ(seen[2].subsystem, "io.example.device");
}

}  // namespace
}  // namespace brindlet

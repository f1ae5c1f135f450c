#include <gtest/gtest.h>

#include <vector>

#include "platform/log/Log.h"

namespace brindlet::platform {

TEST(Log, RecordsCarrySubsystemCategoryLevelAndFormattedText) {
  std::vector<LogRecord> seen;
  auto previous = setLogObserver([&](const LogRecord& r) { seen.push_back(r); });
  Logger logger("io.tavix.nolu.host", "transport");
  logger.notice("listener advertising on UDP %hu", static_cast<unsigned short>(4433));
  logger.error("listener failed (%s); retry %ld in %.*fs", "boom", 3L, 1, 8.0);
  std::string longText(2000, 'x');
  logger.info("%s", longText.c_str());
  systemLog("Nolu: no virtual key for HID usage 0x%x", 0xe9);
  setLogObserver(previous);

  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].subsystem, "io.tavix.nolu.host");
  EXPECT_EQ(seen[0].category, "transport");
  EXPECT_EQ(seen[0].level, LogLevel::notice);
  EXPECT_EQ(seen[0].message, "listener advertising on UDP 4433");
  EXPECT_EQ(seen[1].level, LogLevel::error);
  EXPECT_EQ(seen[1].message, "listener failed (boom); retry 3 in 8.0s");
  EXPECT_EQ(seen[2].message, longText);
  EXPECT_EQ(seen[3].subsystem, "");
  EXPECT_EQ(seen[3].message, "Nolu: no virtual key for HID usage 0xe9");
}

}  // namespace brindlet::platform

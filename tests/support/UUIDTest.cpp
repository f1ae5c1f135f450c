#include <gtest/gtest.h>

#include "kit/support/UUID.h"

namespace brindlet {

TEST(UUID, CanonicalTextRoundTripsUpperCase) {
  auto id = UUID::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->bytes[0], 0xe6);
  EXPECT_EQ(id->bytes[15], 0x5f);
  EXPECT_EQ(id->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(UUID::parse(id->uuidString()), id);
}

TEST(UUID, RejectsMalformedText) {
  for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
                          "E621E1F8-C36C-495A-93FC-0C247A3E6E5G", "E621E1F8+C36C-495A-93FC-0C247A3E6E5F"}) {
    EXPECT_FALSE(UUID::parse(bad)) << bad;
  }
}

TEST(UUID, RandomIsVersionFourAndDistinct) {
  UUID a = UUID::random(), b = UUID::random();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.bytes[6] >> 4, 4);
  EXPECT_EQ(a.bytes[8] & 0xc0, 0x80);
}

}  // namespace brindlet

#include <gtest/gtest.h>

#include "kit/relay/InviteCode.h"

namespace brindlet {
namespace {

TEST(InviteCodeTest, NormalizeTable) {
  struct Case {
    std::string text;
    std::optional<std::string> code;
  };
  const Case cases[] = {
      {"abcde-fghjk", "ABCDEFGHJK"},
      {"  ABCDE FGHJK \n", "ABCDEFGHJK"},
      {"\tab cd\te-fg hj k\r\n", "ABCDEFGHJK"},
      {"OoIiLl0000", "0011110000"},  // O as zero, I and L as one, in either case
      {"ABCDEFGHJU", std::nullopt},  // U is not in the alphabet
      {"ABCDEFGHJ", std::nullopt},
      {"ABCDEFGHJKM", std::nullopt},
      {"ABCDEFGHJ\u00C9", std::nullopt},   // an accented letter is one character, not in the alphabet
      {"ABCDEFGHJE\u0301", std::nullopt},  // E with a combining accent: one character
      {"ABCDE_FGHJ", std::nullopt},
      {"", std::nullopt},
      {"----------", std::nullopt},
      {"abc", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(InviteCode::normalize(c.text), c.code) << c.text;
}

TEST(InviteCodeTest, DisplayGroupsTenCharactersOnly) {
  EXPECT_EQ(InviteCode::display("ABCDEFGHJK"), "ABCDE-FGHJK");
  EXPECT_EQ(InviteCode::display("ABCDEFGHJ"), "ABCDEFGHJ");
  EXPECT_EQ(InviteCode::display(""), "");
}

TEST(InviteCodeTest, RegionNames) {
  EXPECT_EQ(RelayRegion::displayName("sin"), "Singapore");
  EXPECT_EQ(RelayRegion::displayName("SIN"), "Singapore");
  EXPECT_EQ(RelayRegion::displayName("fra"), "fra");
  EXPECT_EQ(RelayRegion::displayName("Fra"), "Fra");
  EXPECT_EQ(RelayRegion::displayName(""), "");
}

TEST(InviteCodeTest, InviteLinks) {
  struct Case {
    std::string url;
    std::optional<std::string> code;
  };
  const Case cases[] = {
      {"nolu://invite?code=abcde-fghjk", "ABCDEFGHJK"},
      {"brindlet://invite?code=ABCDEFGHJK", "ABCDEFGHJK"},
      {"NOLU://INVITE?code=ABCDE-FGHJK", "ABCDEFGHJK"},
      {"nolu://invite?x=1&code=ABCDE%20FGHJK", "ABCDEFGHJK"},
      {"nolu://invite?Code=ABCDEFGHJK", std::nullopt},
      {"nolu://invite?code&code=ABCDEFGHJK", std::nullopt},  // the first code item has no value
      {"nolu://invite?code=ABC", std::nullopt},
      {"nolu://pair?code=ABCDEFGHJK", std::nullopt},
      {"https://invite?code=ABCDEFGHJK", std::nullopt},
      {"nolu://invite", std::nullopt},
      {"nolu:invite?code=ABCDEFGHJK", std::nullopt},
      {"not a url", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseInviteURL(c.url), c.code) << c.url;
}

}  // namespace
}  // namespace brindlet

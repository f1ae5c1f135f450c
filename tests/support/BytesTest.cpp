#include <gtest/gtest.h>

#include "base/Bytes.h"

namespace brindlet {

TEST(Bytes, HexIsLowerCaseTwoDigitsPerByte) {
  EXPECT_EQ(toHex(Bytes{0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
  EXPECT_EQ(toHex(Bytes{}), "");
  EXPECT_EQ(bytesOf("ab"), (Bytes{0x61, 0x62}));
}

}  // namespace brindlet

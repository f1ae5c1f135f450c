// Freed blocks of megabytes leave the process at once, however many came and went before.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "platform/support/MemoryReturn.h"

using namespace brindlet::platform;

TEST(MemoryReturn, FreedLargeBlocksGoBackToTheSystem) {
  returnLargeBlocksToTheSystem();
  // Left alone, the C library raises its threshold to the size of the first freed block and
  // serves the smaller ones after it from its heap, where they stay when freed.
  for (size_t megabytes : {8, 6, 4, 1}) {
    SCOPED_TRACE(::testing::Message() << megabytes << " MiB");
    const size_t bytes = megabytes << 20;
    const size_t before = mallinfo2().hblkhd;
    void* block = std::malloc(bytes);
    ASSERT_TRUE(block);
    std::memset(block, 1, bytes);
    EXPECT_GE(mallinfo2().hblkhd, before + bytes) << "mapped on its own";
    std::free(block);
    EXPECT_LT(mallinfo2().hblkhd, before + bytes) << "and unmapped when freed";
  }
}

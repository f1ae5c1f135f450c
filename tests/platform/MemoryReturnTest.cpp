// Freed blocks of megabytes leave the process at once, however many came and went before.
#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

// Threads allocating at the same time share two heaps, however many they are.
TEST(MemoryReturn, ThreadsShareTwoHeaps) {
  returnLargeBlocksToTheSystem();
  std::vector<std::thread> threads;
  for (int t = 0; t < 12; ++t) {
    threads.emplace_back([] {
      std::vector<void*> blocks;
      for (int i = 0; i < 2000; ++i) blocks.push_back(std::malloc(64 + i % 512));
      for (void* b : blocks) std::free(b);
    });
  }
  for (auto& t : threads) t.join();
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  ASSERT_TRUE(out);
  malloc_info(0, out);
  std::fclose(out);
  const std::string info(text, size);
  std::free(text);
  size_t heaps = 0;
  for (size_t at = info.find("<heap nr="); at != std::string::npos; at = info.find("<heap nr=", at + 1)) ++heaps;
  EXPECT_GE(heaps, 1u);
  EXPECT_LE(heaps, 2u) << info.substr(0, 400);
}

// Blocks under the threshold freed between blocks still in use: their pages go back when asked.
TEST(MemoryReturn, FreePagesBetweenBlocksInUseGoBackWhenAsked) {
  returnLargeBlocksToTheSystem();
  auto residentBytes = [] {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
  };
  constexpr size_t blocks = 200, blockBytes = 100 * 1024;
  std::vector<void*> freed, kept;
  for (size_t i = 0; i < blocks; ++i) {
    void* block = std::malloc(blockBytes);
    ASSERT_TRUE(block);
    std::memset(block, 1, blockBytes);
    freed.push_back(block);
    kept.push_back(std::malloc(64));  // in use after it: the heap cannot shrink past it
  }
  for (void* b : freed) std::free(b);
  const long before = residentBytes();
  giveBackFreePages();
  const long after = residentBytes();
  for (void* b : kept) std::free(b);
  EXPECT_GT(before - after, static_cast<long>(blocks * blockBytes / 2)) << "before " << before << " after " << after;
}

#include "platform/support/MemoryReturn.h"

#include <malloc.h>

namespace brindlet::platform {

void returnLargeBlocksToTheSystem() {
  // A fixed threshold also ends the library's raising of it (and of the trim threshold).
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  // Every thread that allocates while others do would otherwise get a heap of its own (up to
  // eight a processor), and each keeps what its thread freed: the capture, encoding and
  // conversion threads of each session add up. Two heaps hold the host's few busy threads.
  mallopt(M_ARENA_MAX, 2);
}

void giveBackFreePages() { malloc_trim(0); }

}  // namespace brindlet::platform

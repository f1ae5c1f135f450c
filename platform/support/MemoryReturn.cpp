#include "platform/support/MemoryReturn.h"

#include <malloc.h>

namespace brindlet::platform {

void returnLargeBlocksToTheSystem() {
  // A fixed threshold also ends the library's raising of it (and of the trim threshold).
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
}

}  // namespace brindlet::platform

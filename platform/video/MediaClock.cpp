#include "platform/video/MediaClock.h"

#include <ctime>

namespace brindlet::platform {

static uint64_t nowNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t monotonicNowNs() { return nowNs(CLOCK_MONOTONIC); }
uint64_t monotonicRawNowNs() { return nowNs(CLOCK_MONOTONIC_RAW); }

}  // namespace brindlet::platform

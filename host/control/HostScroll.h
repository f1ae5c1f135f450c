#pragma once

#include <cstdint>
#include <utility>

namespace brindlet::host {

// Scroll arithmetic: the device's scroll deltas to whole pixels, carrying the fractions.
struct HostScroll {
  HostScroll() = delete;

  struct Remainder {
    float x = 0;
    float y = 0;
    bool operator==(const Remainder&) const = default;
  };

  static constexpr std::int32_t limit = 30000;

  // One device unit is two pixels. Returns (horizontal, vertical) whole pixels, each within
  // -30000...30000, and keeps the fractions (with their sign) in `remainder`.
  static std::pair<std::int32_t, std::int32_t> accumulate(float dx, float dy, Remainder& remainder);
};

}  // namespace brindlet::host

#pragma once
// Which source rectangle a captured picture shows while the capture's region changes: the
// region in force from a time on, the changes asked for and not yet confirmed, and the spans
// of time in which the region shown is unknown. Times are ns of the capture's presentation
// clock.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "kit/protocol/MediaRecords.h"

namespace brindlet::host {

struct RegionTagger {
  struct Segment {
    NormalizedRect rect;
    uint64_t from = 0;
    bool operator==(const Segment&) const = default;
  };
  struct Pending {
    NormalizedRect rect;
    uint64_t requested = 0;
    bool operator==(const Pending&) const = default;
  };
  struct Gap {
    uint64_t lower = 0, upper = 0;  // inclusive
    bool operator==(const Gap&) const = default;
  };

  std::vector<Segment> segments;  // oldest first
  std::vector<Pending> pending;   // oldest first
  std::vector<Gap> gaps;

  // The oldest pending change took effect at `t`.
  void applied(uint64_t t);
  // Drops the newest pending change; the rectangle now in force, if known.
  std::optional<NormalizedRect> cancelLatest();
  // The rectangle a picture of time `time` shows; nothing when it cannot be known.
  std::optional<NormalizedRect> tag(std::optional<uint64_t> time, const NormalizedRect& fallback) const;

  bool operator==(const RegionTagger&) const = default;
};

}  // namespace brindlet::host

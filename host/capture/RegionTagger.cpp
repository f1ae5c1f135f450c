#include "host/capture/RegionTagger.h"

#include <algorithm>

namespace brindlet::host {

void RegionTagger::applied(uint64_t t) {
  if (pending.empty()) return;
  Pending change = pending.front();
  pending.erase(pending.begin());
  gaps.push_back(Gap{change.requested, std::max(t, change.requested)});
  segments.push_back(Segment{change.rect, t});
  const uint64_t cutoff = t < 1'000'000'000 ? 0 : t - 1'000'000'000;
  while (segments.size() >= 2 && segments[1].from <= cutoff) segments.erase(segments.begin());
  gaps.erase(std::remove_if(gaps.begin(), gaps.end(), [&](const Gap& g) { return g.upper < cutoff; }), gaps.end());
}

std::optional<NormalizedRect> RegionTagger::cancelLatest() {
  if (pending.empty()) return std::nullopt;
  pending.pop_back();
  if (!pending.empty()) return pending.back().rect;
  if (!segments.empty()) return segments.back().rect;
  return std::nullopt;
}

std::optional<NormalizedRect> RegionTagger::tag(std::optional<uint64_t> time, const NormalizedRect& fallback) const {
  if (!time) {
    if (pending.empty()) return fallback;
    return std::nullopt;
  }
  if (!pending.empty() && *time >= pending.front().requested) return std::nullopt;
  for (const Gap& g : gaps) {
    if (g.lower <= *time && *time <= g.upper) return std::nullopt;
  }
  for (auto s = segments.rbegin(); s != segments.rend(); ++s) {
    if (s->from <= *time) return s->rect;
  }
  return fallback;
}

}  // namespace brindlet::host

#include "kit/protocol/CursorSpace.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace brindlet {

namespace {

// Distance from v to the interval [lo, hi] along one axis.
double axisDistance(double lo, double hi, double v) {
  const double a = lo - v;
  const double b = v - hi;
  if (a > 0) return std::max(a, b);
  if (b >= 0) return b;
  return 0;
}

}  // namespace

std::optional<DisplayInfo> CursorSpace::display(Point containing, std::span<const DisplayInfo> in) {
  if (in.empty()) return std::nullopt;
  for (const DisplayInfo& d : in) {
    if (d.frame.rect().contains(containing)) return d;
  }
  const DisplayInfo* best = nullptr;
  double bestScore = 0;
  for (const DisplayInfo& d : in) {
    const Rect r = d.frame.rect();
    const double dx = axisDistance(r.minX(), r.maxX(), containing.x);
    const double dy = axisDistance(r.minY(), r.maxY(), containing.y);
    const double score = dx * dx + dy * dy;
    if (best == nullptr || score < bestScore) {
      best = &d;
      bestScore = score;
    }
  }
  return *best;
}

Point CursorSpace::normalize(Point point, const DisplayInfo& in) {
  const Rect r = in.frame.rect();
  const double w = r.width <= 1 ? 1 : r.width;
  const double h = r.height <= 1 ? 1 : r.height;
  return Point{(point.x - r.x) / w, (point.y - r.y) / h};
}

Point CursorSpace::denormalize(Point normalized, const DisplayInfo& in) {
  const Rect r = in.frame.rect();
  return Point{normalized.x * r.width + r.x, normalized.y * r.height + r.y};
}

Point CursorSpace::clamp(Point point, std::span<const Rect> into) {
  if (into.empty()) return point;
  for (const Rect& r : into) {
    if (r.contains(point)) return point;
  }
  std::optional<Point> best;
  double bestScore = std::numeric_limits<double>::infinity();
  for (const Rect& r : into) {
    if (!(r.maxX() - r.minX() > 0 && r.maxY() - r.minY() > 0)) continue;
    const double cx = std::min(std::max(point.x, r.minX()), std::max(r.minX(), r.maxX() - 1));
    const double cy = std::min(std::max(point.y, r.minY()), std::max(r.minY(), r.maxY() - 1));
    const double score = (cx - point.x) * (cx - point.x) + (cy - point.y) * (cy - point.y);
    if (score < bestScore) {
      best = Point{cx, cy};
      bestScore = score;
    }
  }
  return best.value_or(point);
}

Point CursorSpace::clamp(Point point, std::span<const DisplayFrame> intoFrames) {
  std::vector<Rect> rects;
  rects.reserve(intoFrames.size());
  for (const DisplayFrame& f : intoFrames) rects.push_back(f.rect());
  return clamp(point, std::span<const Rect>(rects));
}

}  // namespace brindlet

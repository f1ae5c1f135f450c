#include "host/control/PointerTracker.h"

#include <algorithm>
#include <cmath>

namespace brindlet::host {
namespace {

bool near(Point a, Point b) {
  return std::abs(a.x - b.x) <= PointerTracker::tolerance && std::abs(a.y - b.y) <= PointerTracker::tolerance;
}

}  // namespace

void PointerTracker::noteInjected(Point point, double at) {
  // The point the pointer is leaving counts as injected at this moment too.
  if (position) recent.push_back({*position, at});
  position = point;
  recent.push_back({point, at});
  while (recent.size() > sampleCap) recent.pop_front();
}

bool PointerTracker::isLocalMove(std::optional<Point> real, double now) {
  if (!real) return false;
  if (!position) {
    position = real;
    return false;
  }
  if (near(*real, *position)) return false;
  std::erase_if(recent, [&](const Sample& s) { return now - s.at > echoWindow; });
  if (std::any_of(recent.begin(), recent.end(), [&](const Sample& s) { return near(s.point, *real); })) return false;
  position = real;
  return true;
}

}  // namespace brindlet::host

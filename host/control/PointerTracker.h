#pragma once

#include <deque>
#include <optional>

#include "base/Geometry.h"

namespace brindlet::host {

// Where the host last put the pointer, with the positions it injected lately, so that the
// real cursor lagging behind injected moves is not taken for the local user moving it.
struct PointerTracker {
  struct Sample {
    Point point;
    double at = 0;  // system uptime, seconds
  };

  static constexpr std::size_t sampleCap = 128;
  static constexpr double tolerance = 1.5;   // points, on each axis
  static constexpr double echoWindow = 0.5;  // seconds

  std::optional<Point> position;
  std::deque<Sample> recent;  // oldest first

  // The host put the pointer at `point` at time `at`.
  void noteInjected(Point point, double at);
  // Whether the real cursor moved because of the local user; adopts the real location
  // then (and when nothing is tracked yet, without counting it as a local move).
  bool isLocalMove(std::optional<Point> real, double now);

  bool operator==(const PointerTracker& other) const { return position == other.position; }
};

}  // namespace brindlet::host

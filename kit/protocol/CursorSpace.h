#pragma once

// Geometry over the host's displays in global display coordinates.

#include <optional>
#include <span>

#include "base/Geometry.h"
#include "kit/protocol/MediaRecords.h"

namespace brindlet {

struct CursorSpace {
  CursorSpace() = delete;

  // The first display whose frame contains the point, else the nearest one (the first of
  // equally near ones); nothing for an empty list.
  static std::optional<DisplayInfo> display(Point containing, std::span<const DisplayInfo> in);

  // The point as fractions of the display (sizes of 1 or less count as 1); not clamped.
  static Point normalize(Point point, const DisplayInfo& in);
  // Fractions of the display back to a global point.
  static Point denormalize(Point normalized, const DisplayInfo& in);

  // The point itself when a rectangle contains it, else the nearest point at least one point
  // inside the right and bottom edges of the nearest rectangle of positive size; the point
  // unchanged when there is no such rectangle.
  static Point clamp(Point point, std::span<const Rect> into);
  static Point clamp(Point point, std::span<const DisplayFrame> intoFrames);
};

}  // namespace brindlet

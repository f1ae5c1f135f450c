#pragma once

#include <algorithm>

namespace brindlet {

// A point of the host's global display space, in points (64-bit floats).
struct Point {
  double x = 0;
  double y = 0;

  bool operator==(const Point&) const = default;
};

// A rectangle of the global display space (64-bit floats). Its edges are taken after making
// width and height non-negative, so a rectangle with a negative size covers the same area as
// its standardised form.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double minX() const { return std::min(x, x + width); }
  double maxX() const { return std::max(x, x + width); }
  double minY() const { return std::min(y, y + height); }
  double maxY() const { return std::max(y, y + height); }

  // Left and top edges inside, right and bottom edges outside.
  bool contains(Point p) const { return minX() <= p.x && p.x < maxX() && minY() <= p.y && p.y < maxY(); }

  bool operator==(const Rect&) const = default;
};

}  // namespace brindlet

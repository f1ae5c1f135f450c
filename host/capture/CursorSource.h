#pragma once

// The system mouse cursor's image, as the session polls it.

#include <cstdint>
#include <optional>

#include "base/Bytes.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

// One cursor image: PNG bytes, hotspot in points from the image's top-left corner, and the
// image's width in points.
struct CursorShapeData {
  Bytes png;
  float hotspotX = 0;
  float hotspotY = 0;
  float pointSize = 0;

  bool operator==(const CursorShapeData&) const = default;
};

// One poll of the cursor: a token naming the rendered image and its geometry, whether the
// cursor shows, and the image itself only when its token differs from the caller's.
struct CursorPoll {
  std::uint64_t token = 0;
  bool visible = false;
  std::optional<CursorShapeData> shape;

  bool operator==(const CursorPoll&) const = default;
};

class CursorSource {
 public:
  virtual ~CursorSource() = default;

  // Nothing when the cursor cannot be read.
  virtual asio::awaitable<std::optional<CursorPoll>> poll(std::optional<std::uint64_t> lastToken) = 0;
};

}  // namespace brindlet::host

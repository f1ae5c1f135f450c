#pragma once

#include <cstdint>
#include <optional>

#include "base/Bytes.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

// Small pictures of whole displays for the device's display picker.
class ThumbnailProviding {
 public:
  virtual ~ThumbnailProviding() = default;

  // A JPEG of the display `width` pixels wide, nothing when it cannot be taken.
  virtual asio::awaitable<std::optional<Bytes>> thumbnail(std::uint32_t displayID, int width) = 0;
};

}  // namespace brindlet::host

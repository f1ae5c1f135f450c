#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "base/Bytes.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

// Small pictures of single windows.
class WindowThumbnailProviding {
 public:
  virtual ~WindowThumbnailProviding() = default;

  // A JPEG `width` pixels wide of each window that could be captured.
  virtual asio::awaitable<std::map<std::uint32_t, Bytes>> thumbnails(std::vector<std::uint32_t> windowIDs,
                                                                     int width) = 0;
};

}  // namespace brindlet::host

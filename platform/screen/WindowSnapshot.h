#pragma once
// Still pictures of single windows from their own pixels: the window is redirected off
// screen (XComposite, automatic: it still shows as before) so that its named pixmap holds
// all of it even where other windows cover it; the pixmap is read, scaled with libswscale
// and written as JPEG with libturbojpeg. Over a connection of its own; not safe to share
// between threads.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>

#include "base/Bytes.h"

namespace brindlet::platform {

class PixelConverter;
class XConnection;

class WindowSnapshot {
 public:
  // Throws ScreenError when the server cannot be reached or lacks the Composite extension.
  static std::unique_ptr<WindowSnapshot> open(const std::string& displayName = {});
  ~WindowSnapshot();

  // A JPEG of the window (by its X ID), `width` pixels wide and as high as its aspect gives
  // (rounded, at least 2), at `quality` (1..100); nothing when the window is gone, not shown,
  // not more than 1 pixel wide and high, or cannot be read.
  std::optional<Bytes> jpeg(std::uint32_t windowID, int width, int quality);

 private:
  explicit WindowSnapshot(std::unique_ptr<XConnection> connection);
  PixelConverter* scaler(int srcWidth, int srcHeight, int dstWidth, int dstHeight);

  std::unique_ptr<XConnection> connection_;
  std::set<std::uint32_t> redirected_;
  // Scalers by source and destination size, kept for the windows of the last few requests.
  std::map<std::tuple<int, int, int, int>, std::unique_ptr<PixelConverter>> scalers_;
};

}  // namespace brindlet::platform

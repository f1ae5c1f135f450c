#pragma once
// The X server's current cursor image (XFixes), over a connection of its own. The server
// tells when the cursor's image changes, so asking whether it changed costs no round trip.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/screen/XConnection.h"

namespace brindlet::platform {

struct CursorImage {
  int width = 0;
  int height = 0;
  int hotspotX = 0;  // pixels from the image's top-left corner
  int hotspotY = 0;
  std::uint32_t serial = 0;
  std::vector<std::uint32_t> argb;  // premultiplied A,R,G,B words, rows top to bottom
};

class CursorImageSource {
 public:
  // Throws ScreenError when the server cannot be reached or lacks XFixes.
  static std::unique_ptr<CursorImageSource> open(const std::string& displayName = {});
  ~CursorImageSource();

  // Whether the cursor's image may have changed since the last call (true the first time and
  // after the connection failed); reads only what the server already sent.
  bool changed();
  // The image now; nothing when the server does not give it.
  std::optional<CursorImage> current();

 private:
  explicit CursorImageSource(std::unique_ptr<XConnection> connection);
  std::unique_ptr<XConnection> connection_;
  uint8_t firstEvent_ = 0;
  bool first_ = true;
};

// Straight (not premultiplied) R,G,B,A bytes of a cursor image's pixels.
std::vector<std::uint8_t> straightRGBA(const CursorImage& image);

}  // namespace brindlet::platform

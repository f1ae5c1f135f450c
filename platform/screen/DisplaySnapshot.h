#pragma once
// One still picture of a display, scaled and encoded as JPEG (MIT-SHM grab, libswscale,
// libturbojpeg), over a connection of its own. Not safe to share between threads.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/Bytes.h"
#include "platform/screen/DisplayConfiguration.h"

namespace brindlet::platform {

class ScreenGrabber;
class XConnection;

class DisplaySnapshot {
 public:
  // Throws ScreenError when the server cannot be reached or lacks MIT-SHM.
  static std::unique_ptr<DisplaySnapshot> open(const std::string& displayName = {});
  ~DisplaySnapshot();

  // A JPEG of display `displayID`, `width` pixels wide and as high as the display's aspect
  // gives (at least 2), at `quality` (1..100); nothing when the display is not there or the
  // picture cannot be taken.
  std::optional<Bytes> jpeg(std::uint32_t displayID, int width, int quality);

 private:
  explicit DisplaySnapshot(std::unique_ptr<XConnection> connection);
  std::unique_ptr<XConnection> connection_;
  std::unique_ptr<ScreenGrabber> grabber_;      // kept: its memory serves the next picture of that size
  std::optional<ScreenDisplay> configuredFor_;  // the display and width the grabber is set up for
  int configuredWidth_ = 0;
};

}  // namespace brindlet::platform

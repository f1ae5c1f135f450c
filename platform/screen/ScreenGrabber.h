#pragma once
// Reads one rectangle of a display through MIT-SHM into pixel buffers, scaled to the output
// size and, for an app filter, with everything but the included processes' windows black.
// At the captured size, the X server writes straight into the buffer handed out (a shared
// memory segment of a pool), so a grab copies nothing.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/screen/ScreenStream.h"
#include "platform/video/PixelConverter.h"

namespace brindlet::platform {

class SharedMemoryPool;

class ScreenGrabber {
 public:
  // Where to read on the X screen (root pixels) and what to deliver.
  struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
    int outWidth = 0, outHeight = 0;
  };

  // Uses `connection`, which must outlive the grabber; needs MIT-SHM.
  explicit ScreenGrabber(XConnection& connection);
  ~ScreenGrabber();
  ScreenGrabber(const ScreenGrabber&) = delete;
  ScreenGrabber& operator=(const ScreenGrabber&) = delete;

  // Takes new settings; throws ScreenError (and keeps the former ones) when they cannot be used.
  void configure(const ContentFilter& filter, const StreamConfiguration& configuration);
  const Geometry& geometry() const { return geometry_; }

  // The rectangle as it is now; nothing when the server refused (the display is gone).
  PixelBufferRef grab();

 private:
  void maskToApplications(uint8_t* pixels, int stride);

  XConnection& connection_;
  ContentFilter filter_;
  StreamConfiguration configuration_;
  Geometry geometry_;
  std::shared_ptr<SharedMemoryPool> direct_;   // buffers of the captured size
  std::shared_ptr<SharedMemoryPool> scratch_;  // one segment to scale from
  std::unique_ptr<PixelConverter> scaler_;
  std::shared_ptr<PixelBufferPool> scaled_;
  std::vector<uint8_t> mask_;
};

}  // namespace brindlet::platform

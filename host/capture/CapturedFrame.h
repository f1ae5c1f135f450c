#pragma once
// A captured picture on its way from screen capture to the encoder. Copies share the pixels.
#include <cstdint>

#include "kit/protocol/MediaRecords.h"
#include "platform/video/CompressionSession.h"
#include "platform/video/PixelBuffer.h"

namespace brindlet::host {

struct CapturedFrame {
  platform::PixelBufferRef pixelBuffer;  // B,G,R,X as captured
  uint32_t displayID = 0;
  NormalizedRect sourceRect;   // the viewport source rectangle this picture shows
  uint64_t captureTimeNs = 0;  // CLOCK_MONOTONIC_RAW when the picture was on screen
  // The picture converted ahead for the encoder's session (VideoEncoder::prepare), if it was.
  std::shared_ptr<const platform::PreparedPicture> prepared{};
};

}  // namespace brindlet::host

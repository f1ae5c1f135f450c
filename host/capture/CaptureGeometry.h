#pragma once
// From what the device asks for (a Viewport) to what the capture is told: the default
// viewport that fits a display to the device's screen, and the source rectangle and output
// pixel size of a capture for each scope. Every output size is even and within 2 ... 8192.
#include <cstdint>

#include "host/capture/CaptureScope.h"
#include "kit/protocol/MediaRecords.h"

namespace brindlet::host {

struct CaptureGeometry {
  Rect sourceRect;  // display points, relative to the display's own origin
  uint32_t width = 0;
  uint32_t height = 0;

  bool operator==(const CaptureGeometry&) const = default;
};

// The smallest picture side the HEVC encoder takes (one coding tree unit of 16 pixels): a
// smaller one would be announced to the device and then never encoded.
inline constexpr uint32_t smallestCaptureSize = 16;

// A pixel count clamped to smallestCaptureSize ... 8192 and made even.
uint32_t evenCaptureSize(double value);

// The viewport's source rectangle kept inside the unit square and at least 0.001 wide and high.
NormalizedRect clampedSourceRect(const NormalizedRect& rect);

Viewport defaultViewport(const DisplayInfo& display, const ClientCapabilities& client);
CaptureGeometry displayOutputSize(const DisplayInfo& display, const Viewport& viewport);
CaptureGeometry captureOutputSize(const DisplayInfo& display, const Viewport& viewport, const CaptureScope& scope);

}  // namespace brindlet::host

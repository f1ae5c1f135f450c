#include "host/capture/BitrateController.h"

#include <algorithm>

namespace brindlet::host {

std::optional<int64_t> BitrateController::update(const Feedback& feedback, double now) {
  const bool congested = feedback.framesDropped != 0 || feedback.jitterMs > jitterThresholdMs;  // NaN is not
  const int64_t old = bitrate;
  if (!congested) {
    if (!cleanSince) cleanSince = now;
    if (now - *cleanSince < cleanInterval) return std::nullopt;
    bitrate = std::clamp(static_cast<int64_t>(static_cast<double>(bitrate) * 1.1), minimumBitrate, maximumBitrate);
    cleanSince = now;
  } else {
    cleanSince.reset();
    if (now - lastDecrease < decreaseCooldown) return std::nullopt;
    lastDecrease = now;
    bitrate = std::clamp(static_cast<int64_t>(static_cast<double>(bitrate) * 0.7), minimumBitrate, maximumBitrate);
  }
  if (bitrate != old) return bitrate;
  return std::nullopt;
}

}  // namespace brindlet::host

#pragma once
// Adapts the video bit rate to the device's feedback: a tenth more after a clean interval, three
// tenths less on congestion (with a cooldown between cuts), within 4 to 40 Mbit/s.
#include <cstdint>
#include <limits>
#include <optional>

#include "kit/protocol/MediaRecords.h"

namespace brindlet::host {

struct BitrateController {
  static constexpr int64_t minimumBitrate = 4'000'000;
  static constexpr int64_t maximumBitrate = 40'000'000;

  int64_t bitrate = 16'000'000;
  float jitterThresholdMs = 30;
  double cleanInterval = 2.0;
  double decreaseCooldown = 0.5;
  std::optional<double> cleanSince;
  double lastDecrease = -std::numeric_limits<double>::infinity();

  // `now` in seconds of uptime; the new rate when it changed.
  std::optional<int64_t> update(const Feedback& feedback, double now);
};

}  // namespace brindlet::host

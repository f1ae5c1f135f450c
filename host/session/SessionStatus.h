#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kit/protocol/MediaRecords.h"

namespace brindlet::host {

// A session as the menu bar shows it. Reports equal to the previous one are ignored.
struct SessionStatus {
  enum class Phase { negotiating, streaming, ended };

  Phase phase = Phase::negotiating;
  std::string deviceName;
  std::string displayName;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::optional<CodecProfile> profile;
  double bitrateMbps = 0;
  double targetBitrateMbps = 0;
  std::optional<double> encodeLatencyMs;
  double fps = 0;
  std::int64_t framesSent = 0;
  std::int64_t framesDropped = 0;
  std::optional<std::string> captureError;
  std::optional<std::string> note;

  bool operator==(const SessionStatus&) const = default;
};

}  // namespace brindlet::host

#pragma once
// Sends the encoder's frames on the session's connection and counts what was sent and
// dropped. After a failed send it holds delta frames back until the next key frame (which it
// asks for), since a device cannot decode them without the frame that was lost.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "kit/transport/Connection.h"

namespace brindlet::host {

class VideoSink {
 public:
  struct Stats {
    int64_t framesSent = 0;
    int64_t framesDropped = 0;
    int64_t bytesSent = 0;  // payload bytes only
    std::optional<double> lastLatencyMs;
    bool waitingForKeyframe = false;

    bool operator==(const Stats&) const = default;
  };

  explicit VideoSink(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}

  // From the encoder's output threads, possibly several at once.
  void send(const VideoFrame& frame, double latencyMs);

  Stats stats() const;
  // Called, outside the sink's lock, after each failed send.
  void setKeyframeRequester(std::function<void()> requester);

 private:
  std::shared_ptr<Connection> connection_;
  mutable std::mutex lock_;
  Stats stats_;
  std::function<void()> keyframeRequester_;
};

}  // namespace brindlet::host

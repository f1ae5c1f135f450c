#pragma once

// One period of a session's system audio: it starts a capture, encodes every drained batch and
// hands the announcement and the packets to a sink. Each packet's time is the first batch's
// time plus the stream time of the blocks before it; frames the capture lost (a drained time
// that jumps ahead of the samples seen) move the later packets by the same span, so sound keeps
// its place beside the picture.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "host/capture/AudioCapturing.h"
#include "host/capture/AudioEncoderFactory.h"
#include "kit/protocol/MediaRecords.h"

namespace brindlet::host {

struct AudioSink {
  std::function<void(const AudioStreamConfig&)> config;
  // True when the packet was handed to the transport, false when it was dropped.
  std::function<bool(const AudioPacket&)> packet;
};

class AudioPipeline : public std::enable_shared_from_this<AudioPipeline> {
 public:
  struct Stats {
    std::uint64_t packets = 0;
    int sent = 0;
    int dropped = 0;
  };

  // `mode` is phoneOnly or both.
  AudioPipeline(AudioMode mode, std::shared_ptr<AudioCapturing> capture, std::shared_ptr<AudioEncoderFactory> encoders,
                AudioSink sink);

  // Starts the capture (muted locally for phoneOnly), makes the encoder and announces the
  // stream. Throws AudioCaptureError.
  void start();
  // Stops the capture and drops the encoder; later batches do nothing.
  void stop();

  Stats stats() const;
  AudioMode mode() const { return mode_; }

 private:
  void onBatch(const std::vector<float>& samples, std::uint64_t timeMicros);

  const AudioMode mode_;
  std::shared_ptr<AudioCapturing> capture_;
  std::shared_ptr<AudioEncoderFactory> encoders_;
  AudioSink sink_;
  mutable std::mutex mutex_;
  std::unique_ptr<AudioEncoding> encoder_;
  int inputChannels_ = 2;
  double inputRate_ = 48000;
  std::optional<std::uint64_t> anchorMicros_;
  std::uint64_t inputFrames_ = 0;  // captured frames seen since the anchor, lost ones included
  std::uint64_t lostStreamFrames_ = 0;
  Stats stats_;
};

}  // namespace brindlet::host

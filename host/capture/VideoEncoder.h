#pragma once
// The roles between capture, encoder and pipeline: what an encoder reports, the encoder the
// pipeline holds, and the factory the session makes encoders with.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "host/capture/CapturedFrame.h"
#include "kit/protocol/MediaRecords.h"

namespace brindlet::host {

struct EncoderOutput {
  struct Frame {
    VideoFrame frame;
    double latencyMs = 0;
  };
  struct ProfileFallback {
    CodecProfile requested;
    CodecProfile to;
  };
  struct Failed {
    std::string text;
  };
  std::variant<Frame, ProfileFallback, Failed> value;
};

// Called from any thread, possibly from several at once.
using EncoderOutputHandler = std::function<void(const EncoderOutput&)>;

class VideoEncoder {
 public:
  virtual ~VideoEncoder() = default;
  virtual CodecProfile activeProfile() const = 0;
  // Does the part of encoding `frame` that may run while the frame before it encodes (its
  // conversion), and keeps the result in `frame.prepared` for `encode`. Default: nothing.
  virtual void prepare(CapturedFrame& frame) { (void)frame; }
  virtual void encode(const CapturedFrame& frame, bool forceKeyframe, bool highQuality) = 0;
  // Ends the current session; its outputs still under way are dropped.
  virtual void invalidate() = 0;
  // The next frame is a key frame.
  virtual void requestKeyframe() = 0;
  // A key frame has been asked for and no frame has been encoded since.
  virtual bool keyframePending() const = 0;
  virtual void setBitrate(int64_t bitrate) = 0;
};

class EncoderFactory {
 public:
  virtual ~EncoderFactory() = default;
  virtual std::vector<CodecProfile> supportedProfiles() const = 0;
  virtual std::shared_ptr<VideoEncoder> makeEncoder(CodecProfile profile, int64_t bitrate,
                                                    EncoderOutputHandler output) const = 0;
  // Whether the pipeline encodes this factory's frames on a thread of its own, so that the
  // capture of a frame overlaps the encoding of the one before (see VideoPipeline).
  virtual bool encodesAhead() const { return false; }
};

}  // namespace brindlet::host

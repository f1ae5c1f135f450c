#pragma once
// The encoder factory of the host: it holds the profiles this machine's encoder was found to
// produce, by test-encoding a synthetic picture in each candidate at start-up.
#include <vector>

#include "host/capture/HEVCEncoder.h"

namespace brindlet::host {

class VTEncoderFactory final : public EncoderFactory {
 public:
  explicit VTEncoderFactory(std::vector<CodecProfile> profiles,
                            platform::CompressionSessionMaker maker = defaultCompressionSessionMaker())
      : supportedProfiles_(std::move(profiles)), maker_(std::move(maker)) {}

  // The candidates that give a key frame with parameter sets in their own profile within 3 s
  // each, in the candidates' order. Blocks its thread while it probes.
  static VTEncoderFactory probe(const std::vector<CodecProfile>& candidates,
                                platform::CompressionSessionMaker maker = defaultCompressionSessionMaker());

  std::vector<CodecProfile> supportedProfiles() const override { return supportedProfiles_; }
  std::shared_ptr<VideoEncoder> makeEncoder(CodecProfile profile, int64_t bitrate,
                                            EncoderOutputHandler output) const override;
  // A frame takes milliseconds of x265.
  bool encodesAhead() const override { return true; }

 private:
  std::vector<CodecProfile> supportedProfiles_;
  platform::CompressionSessionMaker maker_;
};

// Draws the probe's test picture, frame `n`, into a B,G,R,A buffer.
void drawTestPattern(platform::PixelBuffer& buffer, int n);

}  // namespace brindlet::host

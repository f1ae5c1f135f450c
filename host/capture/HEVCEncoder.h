#pragma once
// Turns captured pictures into HEVC access units through a compression session of the video
// layer, checks once per session that the stream has the profile asked for (from its decoder
// configuration record), falls back to Main when it has not, and reports every result through
// one output closure. One frame in gives its output before `encode` returns.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/capture/VideoEncoder.h"
#include "platform/video/CompressionSession.h"

namespace brindlet::host {

// The fields of a decoder configuration record ("hvcC") that name the stream's profile.
struct HVCCInfo {
  uint8_t profileIdc = 0;
  uint8_t chromaFormatIdc = 0;
  uint8_t lumaBitDepth = 0;
  uint8_t chromaBitDepth = 0;
};
// Nothing unless the record has at least 19 bytes and version 1.
std::optional<HVCCInfo> parseHVCC(const std::vector<uint8_t>& record);
// What the record must say for a profile (profile idc, chroma format, luma depth).
HVCCInfo expectedHVCC(CodecProfile profile);

// The session maker of the production encoder: x265 with a worker per processor.
platform::CompressionSessionMaker defaultCompressionSessionMaker();

class HEVCEncoder final : public VideoEncoder, public std::enable_shared_from_this<HEVCEncoder> {
 public:
  static std::shared_ptr<HEVCEncoder> make(CodecProfile profile, int64_t bitrate, EncoderOutputHandler output,
                                           platform::CompressionSessionMaker maker = defaultCompressionSessionMaker());

  CodecProfile activeProfile() const override;
  CodecProfile requestedProfile() const { return requestedProfile_; }
  void prepare(CapturedFrame& frame) override;
  void encode(const CapturedFrame& frame, bool forceKeyframe, bool highQuality) override;
  void invalidate() override;
  void requestKeyframe() override;
  bool keyframePending() const override;
  void setBitrate(int64_t bitrate) override;

  uint64_t generation() const;

 private:
  struct FrameMeta {
    CapturedFrame frame;
    uint64_t number = 0;
    uint64_t captureTimeNs = 0;
    uint32_t width = 0, height = 0;
  };

  HEVCEncoder(CodecProfile profile, int64_t bitrate, EncoderOutputHandler output,
              platform::CompressionSessionMaker maker)
      : output_(std::move(output)),
        requestedProfile_(profile),
        activeProfile_(profile),
        bitrate_(bitrate),
        maker_(std::move(maker)) {}

  std::shared_ptr<platform::CompressionSession> makeSession(int width, int height, CodecProfile profile,
                                                            int64_t bitrate, std::string& error) const;
  void handleOutput(int status, uint32_t flags, const platform::EncodedSample* sample, const FrameMeta& meta,
                    uint64_t generation, CodecProfile profile);
  void fallBack(CodecProfile profile, const CapturedFrame& frame);

  mutable std::mutex lock_;
  const EncoderOutputHandler output_;
  const CodecProfile requestedProfile_;
  CodecProfile activeProfile_;
  std::shared_ptr<platform::CompressionSession> session_;
  int sessionWidth_ = 0;
  int sessionHeight_ = 0;
  uint64_t generation_ = 0;
  bool verified_ = false;
  bool forceNext_ = true;
  int64_t bitrate_;
  uint64_t frameNumber_ = 0;
  int64_t lastPTS_ = 0;
  bool highQualityActive_ = false;
  const platform::CompressionSessionMaker maker_;
};

}  // namespace brindlet::host

#include "host/capture/HEVCEncoder.h"
#include "host/HostLog.h"

#include <algorithm>

#include "platform/log/Log.h"
#include "platform/video/MediaClock.h"

namespace brindlet::host {
namespace {

platform::HEVCProfileLevel profileLevel(CodecProfile profile) {
  switch (profile) {
    case CodecProfile::hevcMain:
      return platform::HEVCProfileLevel::mainAutoLevel;
    case CodecProfile::hevcMain10:
      return platform::HEVCProfileLevel::main10AutoLevel;
    case CodecProfile::hevcMain444:
      return platform::HEVCProfileLevel::main444AutoLevel;
    case CodecProfile::hevcMain44410:
      return platform::HEVCProfileLevel::main44410AutoLevel;
  }
  return platform::HEVCProfileLevel::mainAutoLevel;
}

}  // namespace

std::optional<HVCCInfo> parseHVCC(const std::vector<uint8_t>& record) {
  if (record.size() < 19 || record[0] != 1) return std::nullopt;
  return HVCCInfo{static_cast<uint8_t>(record[1] & 0x1F), static_cast<uint8_t>(record[16] & 0x03),
                  static_cast<uint8_t>((record[17] & 0x07) + 8), static_cast<uint8_t>((record[18] & 0x07) + 8)};
}

HVCCInfo expectedHVCC(CodecProfile profile) {
  switch (profile) {
    case CodecProfile::hevcMain:
      return {1, 1, 8, 8};
    case CodecProfile::hevcMain10:
      return {2, 1, 10, 10};
    case CodecProfile::hevcMain444:
      return {4, 3, 8, 8};
    case CodecProfile::hevcMain44410:
      return {4, 3, 10, 10};
  }
  return {};
}

platform::CompressionSessionMaker defaultCompressionSessionMaker() {
  return
      [](int width, int height, int& status) { return platform::createHEVCCompressionSession(width, height, status); };
}

std::shared_ptr<HEVCEncoder> HEVCEncoder::make(CodecProfile profile, int64_t bitrate, EncoderOutputHandler output,
                                               platform::CompressionSessionMaker maker) {
  return std::shared_ptr<HEVCEncoder>(new HEVCEncoder(profile, bitrate, std::move(output), std::move(maker)));
}

CodecProfile HEVCEncoder::activeProfile() const {
  std::lock_guard guard(lock_);
  return activeProfile_;
}

uint64_t HEVCEncoder::generation() const {
  std::lock_guard guard(lock_);
  return generation_;
}

std::shared_ptr<platform::CompressionSession> HEVCEncoder::makeSession(int width, int height, CodecProfile profile,
                                                                       int64_t bitrate, std::string& error) const {
  int status = 0;
  auto session = maker_ ? maker_(width, height, status) : nullptr;
  if (status != 0 || !session) {
    error = "VTCompressionSessionCreate " + std::to_string(status);
    return nullptr;
  }
  status = session->setProfileLevel(profileLevel(profile));
  if (status != 0) {
    session->invalidate();
    error = "ProfileLevel " + std::string(caseName(profile)) + " rejected: " + std::to_string(status);
    return nullptr;
  }
  session->setRealTime(true);
  session->setAllowFrameReordering(false);
  session->setExpectedFrameRate(60);
  session->setMaxKeyFrameInterval(7200);
  session->setMaxKeyFrameIntervalDuration(120);
  session->setAverageBitRate(bitrate);
  session->setMaxAllowedFrameQP(51);
  session->setColorimetryBT709();
  session->prepareToEncodeFrames();
  return session;
}

void HEVCEncoder::prepare(CapturedFrame& frame) {
  if (!frame.pixelBuffer) return;
  std::shared_ptr<platform::CompressionSession> session;
  {
    std::lock_guard guard(lock_);
    if (frame.pixelBuffer->width() == sessionWidth_ && frame.pixelBuffer->height() == sessionHeight_) {
      session = session_;
    }
  }
  // The first frame of a size makes its session in `encode` and is converted there.
  if (session) frame.prepared = session->preparePicture(*frame.pixelBuffer);
}

void HEVCEncoder::encode(const CapturedFrame& frame, bool forceKeyframe, bool highQuality) {
  if (!frame.pixelBuffer) return;
  const int w = frame.pixelBuffer->width(), h = frame.pixelBuffer->height();
  std::shared_ptr<platform::CompressionSession> replaced, session;
  std::string createError;
  FrameMeta meta;
  uint64_t generation = 0;
  CodecProfile profile = CodecProfile::hevcMain;
  bool key = false;
  int64_t pts = 0;
  {
    std::lock_guard guard(lock_);
    if (!session_ || w != sessionWidth_ || h != sessionHeight_) {
      replaced = std::move(session_);
      session_.reset();
      ++generation_;
      verified_ = false;
      forceNext_ = true;
      highQualityActive_ = false;
      session_ = makeSession(w, h, activeProfile_, bitrate_, createError);
      if (session_) {
        sessionWidth_ = w;
        sessionHeight_ = h;
      }
    }
    if (session_) {
      if (highQuality != highQualityActive_) {
        highQualityActive_ = highQuality;
        session_->setMaxAllowedFrameQP(highQuality ? 20 : 51);
      }
      key = forceNext_ || forceKeyframe;
      forceNext_ = false;
      ++frameNumber_;
      const uint64_t t = highQuality ? platform::monotonicRawNowNs() : frame.captureTimeNs;
      pts = std::max<int64_t>(static_cast<int64_t>(t), lastPTS_ + 1);
      lastPTS_ = pts;
      session = session_;
      generation = generation_;
      profile = activeProfile_;
      meta = FrameMeta{frame, frameNumber_, t, static_cast<uint32_t>(w), static_cast<uint32_t>(h)};
    }
  }
  if (replaced) replaced->invalidate();
  if (!session) {
    output_(EncoderOutput{EncoderOutput::Failed{createError.empty() ? "encoder session unavailable" : createError}});
    return;
  }
  std::weak_ptr<HEVCEncoder> weak = weak_from_this();
  int status = session->encodePreparedFrame(
      *frame.pixelBuffer, frame.prepared.get(), pts, key,
      [weak, meta, generation, profile](int st, uint32_t flags, const platform::EncodedSample* s) {
        if (auto self = weak.lock()) self->handleOutput(st, flags, s, meta, generation, profile);
      });
  if (status != 0) {
    output_(EncoderOutput{EncoderOutput::Failed{"VTCompressionSessionEncodeFrame " + std::to_string(status)}});
  }
}

void HEVCEncoder::handleOutput(int status, uint32_t flags, const platform::EncodedSample* sample, const FrameMeta& meta,
                               uint64_t generation, CodecProfile profile) {
  if (status != 0) {
    output_(EncoderOutput{EncoderOutput::Failed{"encode callback " + std::to_string(status)}});
    return;
  }
  if (!sample || (flags & platform::encodeInfoFrameDropped)) return;
  bool verified = false;
  {
    std::lock_guard guard(lock_);
    if (generation != generation_) return;  // a superseded session's output
    verified = verified_;
  }
  if (!sample->format) return;
  if (!verified) {
    auto found = parseHVCC(sample->format->hvcC);
    HVCCInfo expected = expectedHVCC(profile);
    if (!found || found->profileIdc != expected.profileIdc || found->chromaFormatIdc != expected.chromaFormatIdc ||
        found->lumaBitDepth != expected.lumaBitDepth) {
      fallBack(profile, meta.frame);
      return;
    }
    {
      std::lock_guard guard(lock_);
      if (generation == generation_) verified_ = true;
    }
    encoderLog().info("encoder verified profile %s %ux%u", std::string(displayName(profile)).c_str(), meta.width,
                      meta.height);
  }
  VideoFrame frame;
  frame.displayID = meta.frame.displayID;
  frame.frameNumber = meta.number;
  frame.captureTimeNs = meta.captureTimeNs;
  frame.isKeyframe = !sample->notSync;
  frame.profile = profile;
  frame.width = meta.width;
  frame.height = meta.height;
  frame.sourceRect = meta.frame.sourceRect;
  if (frame.isKeyframe) frame.parameterSets = sample->format->parameterSets;
  frame.payload = sample->data;
  const double latencyMs =
      static_cast<double>(static_cast<int64_t>(platform::monotonicRawNowNs() - meta.captureTimeNs)) / 1'000'000.0;
  output_(EncoderOutput{EncoderOutput::Frame{std::move(frame), latencyMs}});
}

void HEVCEncoder::fallBack(CodecProfile profile, const CapturedFrame& frame) {
  std::shared_ptr<platform::CompressionSession> taken;
  bool fellBack = false;
  {
    std::lock_guard guard(lock_);
    if (profile != CodecProfile::hevcMain && profile == activeProfile_) {
      activeProfile_ = CodecProfile::hevcMain;
      ++generation_;
      taken = std::move(session_);
      session_.reset();
      fellBack = true;
    }
  }
  if (!fellBack) {
    output_(EncoderOutput{
        EncoderOutput::Failed{"encoder produced a stream that does not match " + std::string(caseName(profile))}});
    return;
  }
  output_(EncoderOutput{EncoderOutput::ProfileFallback{profile, CodecProfile::hevcMain}});
  // The same picture again, as a key frame of a new Main session. This runs on the thread
  // that reported the mismatch, once the old session has finished with it.
  if (taken) taken->invalidate();
  encode(frame, true, false);
}

void HEVCEncoder::invalidate() {
  std::shared_ptr<platform::CompressionSession> taken;
  {
    std::lock_guard guard(lock_);
    ++generation_;
    taken = std::move(session_);
    session_.reset();
  }
  if (taken) taken->invalidate();
}

void HEVCEncoder::requestKeyframe() {
  std::lock_guard guard(lock_);
  forceNext_ = true;
}

bool HEVCEncoder::keyframePending() const {
  std::lock_guard guard(lock_);
  return forceNext_;
}

void HEVCEncoder::setBitrate(int64_t bitrate) {
  std::shared_ptr<platform::CompressionSession> session;
  {
    std::lock_guard guard(lock_);
    bitrate_ = bitrate;
    session = session_;
  }
  if (session) session->setAverageBitRate(bitrate);
}

}  // namespace brindlet::host

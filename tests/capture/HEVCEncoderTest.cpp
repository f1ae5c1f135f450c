// The HEVC encoder over the x265 session: profiles checked and read back, the fallback to
// Main, key frames, generations, and the start-up probe; the output decoded by libavcodec.
#include <gtest/gtest.h>

#include <mutex>

#include "host/capture/HEVCEncoder.h"
#include "host/capture/VTEncoderFactory.h"
#include "platform/capture/HEVCTestDecoder.h"
#include "platform/capture/TestPictures.h"
#include "platform/log/Log.h"
#include "platform/video/HEVCFormatDescription.h"

using namespace brindlet;
using namespace brindlet::host;
using namespace brindlet::testing;

namespace {

// Wraps a real session: may misreport the profile in its decoder configuration, records the
// presentation times it is given, and may hold its outputs back.
struct SessionOptions {
  std::optional<uint8_t> reportedProfileIdc;
  bool holdOutputs = false;
  std::vector<int64_t> pts;
  std::vector<std::function<void()>> heldOutputs;
  int sessionsMade = 0;
};

class WrappedSession : public platform::CompressionSession {
 public:
  WrappedSession(std::shared_ptr<platform::CompressionSession> inner, std::shared_ptr<SessionOptions> o)
      : inner_(std::move(inner)), options_(std::move(o)) {}
  int setProfileLevel(platform::HEVCProfileLevel p) override { return inner_->setProfileLevel(p); }
  int setRealTime(bool on) override { return inner_->setRealTime(on); }
  int setAllowFrameReordering(bool on) override { return inner_->setAllowFrameReordering(on); }
  int setExpectedFrameRate(int fps) override { return inner_->setExpectedFrameRate(fps); }
  int setMaxKeyFrameInterval(int n) override { return inner_->setMaxKeyFrameInterval(n); }
  int setMaxKeyFrameIntervalDuration(double s) override { return inner_->setMaxKeyFrameIntervalDuration(s); }
  int setAverageBitRate(int64_t b) override { return inner_->setAverageBitRate(b); }
  int setMaxAllowedFrameQP(int qp) override { return inner_->setMaxAllowedFrameQP(qp); }
  int setColorimetryBT709() override { return inner_->setColorimetryBT709(); }
  int prepareToEncodeFrames() override { return inner_->prepareToEncodeFrames(); }
  void invalidate() override { inner_->invalidate(); }
  int encodeFrame(const platform::PixelBuffer& picture, int64_t pts, bool key,
                  const platform::CompressionOutputHandler& handler) override {
    options_->pts.push_back(pts);
    return inner_->encodeFrame(
        picture, pts, key, [this, handler](int st, uint32_t flags, const platform::EncodedSample* s) {
          platform::EncodedSample copy = s ? *s : platform::EncodedSample{};
          if (s && options_->reportedProfileIdc) {
            auto format = std::make_shared<platform::HEVCFormatDescription>(*s->format);
            format->hvcC[1] = static_cast<uint8_t>((format->hvcC[1] & ~0x1F) | *options_->reportedProfileIdc);
            copy.format = format;
          }
          if (options_->holdOutputs) {
            options_->heldOutputs.push_back([handler, st, flags, copy] { handler(st, flags, &copy); });
          } else {
            handler(st, flags, s ? &copy : nullptr);
          }
        });
  }

 private:
  std::shared_ptr<platform::CompressionSession> inner_;
  std::shared_ptr<SessionOptions> options_;
};

platform::CompressionSessionMaker smallMaker(std::shared_ptr<SessionOptions> options = nullptr) {
  return [options](int w, int h, int& status) -> std::shared_ptr<platform::CompressionSession> {
    auto inner = platform::createHEVCCompressionSession(w, h, status, 2);
    if (!inner || !options) return inner;
    ++options->sessionsMade;
    return std::make_shared<WrappedSession>(inner, options);
  };
}

struct Outputs {
  std::mutex lock;
  std::vector<EncoderOutput> all;
  EncoderOutputHandler handler() {
    return [this](const EncoderOutput& o) {
      std::lock_guard g(lock);
      all.push_back(o);
    };
  }
  std::vector<VideoFrame> frames() {
    std::vector<VideoFrame> f;
    for (const auto& o : all) {
      if (auto* fr = std::get_if<EncoderOutput::Frame>(&o.value)) f.push_back(fr->frame);
    }
    return f;
  }
};

CapturedFrame picture(int w, int h, int seed, uint64_t t = 1'000) {
  auto buffer = std::make_shared<platform::PixelBuffer>(w, h);
  fillTestPicture(*buffer, seed);
  return CapturedFrame{buffer, 3, NormalizedRect{0, 0, 0.5f, 1}, t};
}

double psnrOf(HEVCTestDecoder& decoder, const VideoFrame& frame, const CapturedFrame& source) {
  auto decoded = decoder.decode(frame.parameterSets, frame.payload);
  if (!decoded) return 0;
  const auto& pb = *source.pixelBuffer;
  return psnrBGR(decoded->bgr0.data(), decoded->width * 4, pb.baseAddress(), pb.bytesPerRow(), pb.width(), pb.height());
}

}  // namespace

TEST(HEVCEncoder, EncodesEachProfileAndReadsItBack) {
  const struct {
    CodecProfile profile;
    uint8_t profileIdc;
    int decodedProfile;
    double minPSNR;
    const char* label;
  } cases[] = {{CodecProfile::hevcMain, 1, 1, 27, "HEVC 4:2:0"}, {CodecProfile::hevcMain444, 4, 4, 35, "HEVC 4:4:4"}};
  for (const auto& c : cases) {
    std::vector<std::string> logged;
    auto previous = platform::setLogObserver([&](const platform::LogRecord& r) {
      if (r.category == "encoder") logged.push_back(r.message);
    });
    Outputs outputs;
    auto encoder = HEVCEncoder::make(c.profile, 4'000'000, outputs.handler(), smallMaker());
    CapturedFrame first = picture(320, 240, 1, 5'000);
    encoder->encode(first, false, false);
    CapturedFrame second = picture(320, 240, 2, 6'000);
    encoder->encode(second, false, false);
    platform::setLogObserver(previous);

    auto frames = outputs.frames();
    ASSERT_EQ(frames.size(), 2u) << caseName(c.profile);
    const VideoFrame& key = frames[0];
    EXPECT_TRUE(key.isKeyframe);
    EXPECT_EQ(key.profile, c.profile);
    EXPECT_EQ(key.frameNumber, 1u);
    EXPECT_EQ(key.captureTimeNs, 5'000u);
    EXPECT_EQ(key.displayID, 3u);
    EXPECT_EQ(key.sourceRect, (NormalizedRect{0, 0, 0.5f, 1}));
    EXPECT_EQ(key.width, 320u);
    EXPECT_EQ(key.height, 240u);
    ASSERT_EQ(key.parameterSets.size(), 3u);
    auto sps = platform::parseHEVCSequenceParameterSet(key.parameterSets[1]);
    ASSERT_TRUE(sps);
    EXPECT_EQ(sps->profileIdc, c.profileIdc) << "the profile as the parameter sets say it";
    EXPECT_FALSE(frames[1].isKeyframe);
    EXPECT_TRUE(frames[1].parameterSets.empty()) << "delta frames carry no parameter sets";
    EXPECT_EQ(frames[1].frameNumber, 2u);

    HEVCTestDecoder decoder;
    auto decoded = decoder.decode(key.parameterSets, key.payload);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->profile, c.decodedProfile);
    const auto& pb = *first.pixelBuffer;
    EXPECT_GT(psnrBGR(decoded->bgr0.data(), 320 * 4, pb.baseAddress(), pb.bytesPerRow(), 320, 240), c.minPSNR);
    EXPECT_GT(psnrOf(decoder, frames[1], second), c.minPSNR);
    EXPECT_EQ(logged, (std::vector<std::string>{std::string("encoder verified profile ") + c.label + " 320x240"}));
  }
}

TEST(HEVCEncoder, FallsBackToMainWhenTheStreamIsNotTheProfileAskedFor) {
  auto options = std::make_shared<SessionOptions>();
  options->reportedProfileIdc = 1;  // every session says Main
  Outputs outputs;
  auto encoder = HEVCEncoder::make(CodecProfile::hevcMain444, 4'000'000, outputs.handler(), smallMaker(options));
  CapturedFrame frame = picture(320, 240, 4);
  encoder->encode(frame, false, false);

  ASSERT_EQ(outputs.all.size(), 2u);
  auto* fallback = std::get_if<EncoderOutput::ProfileFallback>(&outputs.all[0].value);
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->requested, CodecProfile::hevcMain444);
  EXPECT_EQ(fallback->to, CodecProfile::hevcMain);
  auto frames = outputs.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].profile, CodecProfile::hevcMain);
  EXPECT_TRUE(frames[0].isKeyframe);
  EXPECT_EQ(encoder->activeProfile(), CodecProfile::hevcMain);
  EXPECT_EQ(encoder->requestedProfile(), CodecProfile::hevcMain444);
  HEVCTestDecoder decoder;
  EXPECT_GT(psnrOf(decoder, frames[0], frame), 27.0) << "the same picture, now in Main";
  EXPECT_EQ(options->sessionsMade, 2);

  // A Main stream that does not say Main is a failure, not another fallback.
  auto liar = std::make_shared<SessionOptions>();
  liar->reportedProfileIdc = 4;
  Outputs mainOutputs;
  auto mainEncoder = HEVCEncoder::make(CodecProfile::hevcMain, 4'000'000, mainOutputs.handler(), smallMaker(liar));
  mainEncoder->encode(frame, false, false);
  ASSERT_EQ(mainOutputs.all.size(), 1u);
  auto* failed = std::get_if<EncoderOutput::Failed>(&mainOutputs.all[0].value);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->text, "encoder produced a stream that does not match hevcMain");
}

TEST(HEVCEncoder, KeyFramesGenerationsAndPresentationTimes) {
  auto options = std::make_shared<SessionOptions>();
  Outputs outputs;
  auto encoder = HEVCEncoder::make(CodecProfile::hevcMain, 4'000'000, outputs.handler(), smallMaker(options));
  EXPECT_TRUE(encoder->keyframePending()) << "the first frame is a key frame";
  CapturedFrame a = picture(320, 240, 1, 10'000);
  encoder->encode(a, false, false);
  EXPECT_FALSE(encoder->keyframePending());
  encoder->encode(a, false, false);  // the same picture twice
  EXPECT_EQ(options->pts, (std::vector<int64_t>{10'000, 10'001})) << "presentation times strictly increase";

  encoder->requestKeyframe();
  EXPECT_TRUE(encoder->keyframePending());
  encoder->encode(picture(320, 240, 2, 20'000), false, false);
  encoder->encode(picture(320, 240, 3, 21'000), true, false);
  const uint64_t generation = encoder->generation();
  encoder->encode(picture(640, 360, 4, 22'000), false, false);  // a new size: a new session
  EXPECT_EQ(encoder->generation(), generation + 1);
  auto frames = outputs.frames();
  std::vector<bool> keys;
  for (const auto& f : frames) keys.push_back(f.isKeyframe);
  EXPECT_EQ(keys, (std::vector<bool>{true, false, true, true, true}));
  EXPECT_EQ(frames.back().width, 640u);
  EXPECT_EQ(options->sessionsMade, 2);

  // After invalidate() the outputs of the old session are stale and dropped.
  options->holdOutputs = true;
  encoder->encode(picture(640, 360, 5, 30'000), false, false);
  ASSERT_EQ(options->heldOutputs.size(), 1u);
  encoder->invalidate();
  options->heldOutputs[0]();
  EXPECT_EQ(outputs.frames().size(), frames.size());
}

TEST(HEVCEncoder, ReportsSessionFailures) {
  Outputs outputs;
  auto broken = HEVCEncoder::make(CodecProfile::hevcMain, 4'000'000, outputs.handler(),
                                  [](int, int, int& status) -> std::shared_ptr<platform::CompressionSession> {
                                    status = -12902;
                                    return nullptr;
                                  });
  broken->encode(picture(320, 240, 1), false, false);
  auto tenBit = HEVCEncoder::make(CodecProfile::hevcMain10, 4'000'000, outputs.handler(), smallMaker());
  tenBit->encode(picture(320, 240, 1), false, false);
  std::vector<std::string> texts;
  for (const auto& o : outputs.all) {
    if (auto* f = std::get_if<EncoderOutput::Failed>(&o.value)) texts.push_back(f->text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"VTCompressionSessionCreate -12902",
                                             "ProfileLevel hevcMain10 rejected: -12900"}));
}

TEST(VTEncoderFactory, ProbeFindsTheProfilesThisMachineEncodes) {
  auto factory = VTEncoderFactory::probe({CodecProfile::hevcMain444, CodecProfile::hevcMain10, CodecProfile::hevcMain},
                                         smallMaker());
  EXPECT_EQ(factory.supportedProfiles(),
            (std::vector<CodecProfile>{CodecProfile::hevcMain444, CodecProfile::hevcMain}));
  auto liar = std::make_shared<SessionOptions>();
  liar->reportedProfileIdc = 1;
  EXPECT_EQ(VTEncoderFactory::probe({CodecProfile::hevcMain444, CodecProfile::hevcMain}, smallMaker(liar))
                .supportedProfiles(),
            (std::vector<CodecProfile>{CodecProfile::hevcMain}))
      << "a profile that falls back is not supported";

  Outputs outputs;
  auto encoder = factory.makeEncoder(CodecProfile::hevcMain444, 4'000'000, outputs.handler());
  encoder->encode(picture(320, 240, 1), false, false);
  ASSERT_EQ(outputs.frames().size(), 1u);
  EXPECT_EQ(outputs.frames()[0].profile, CodecProfile::hevcMain444);
}

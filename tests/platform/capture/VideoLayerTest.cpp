// The HEVC compression session over x265: what it produces must decode, with FFmpeg's
// decoder, to the picture that went in, in the profile asked for.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstring>

#include "platform/capture/HEVCTestDecoder.h"
#include "platform/capture/TestPictures.h"
#include "platform/video/CompressionSession.h"
#include "platform/video/HEVCFormatDescription.h"

using namespace brindlet::platform;
using namespace brindlet::testing;

namespace {

struct Output {
  int calls = 0;
  int status = -1;
  EncodedSample sample;
};

std::shared_ptr<CompressionSession> makeSession(int w, int h, HEVCProfileLevel profile, int64_t bitrate) {
  int status = -1;
  auto session = createHEVCCompressionSession(w, h, status, 2);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(session->setProfileLevel(profile), 0);
  session->setRealTime(true);
  session->setAllowFrameReordering(false);
  session->setExpectedFrameRate(60);
  session->setAverageBitRate(bitrate);
  session->setColorimetryBT709();
  EXPECT_EQ(session->prepareToEncodeFrames(), 0);
  return session;
}

Output encode(CompressionSession& session, const PixelBuffer& picture, int64_t pts, bool key) {
  Output out;
  int rc = session.encodeFrame(picture, pts, key, [&](int status, uint32_t, const EncodedSample* sample) {
    ++out.calls;
    out.status = status;
    if (sample) out.sample = *sample;
  });
  EXPECT_EQ(rc, 0);
  return out;
}

struct ProfileCase {
  HEVCProfileLevel profile;
  int profileIdc;
  int chromaFormat;
  int decodedProfile;
  AVPixelFormat decodedFormat;
  double minPSNR;  // 4:2:0 loses some colour at the picture's sharp colour edges
};

class EncodeProfile : public ::testing::TestWithParam<ProfileCase> {};

}  // namespace

TEST_P(EncodeProfile, KeyFrameDecodesToThePictureWithParameterSetsApart) {
  const ProfileCase c = GetParam();
  auto session = makeSession(320, 240, c.profile, 4'000'000);
  PixelBuffer picture(320, 240);
  fillTestPicture(picture, 1);

  Output out = encode(*session, picture, 1000, false);
  ASSERT_EQ(out.calls, 1);
  ASSERT_EQ(out.status, 0);
  EXPECT_FALSE(out.sample.notSync) << "the first frame is a key frame";
  EXPECT_EQ(out.sample.ptsNs, 1000);
  ASSERT_TRUE(out.sample.format);
  const HEVCFormatDescription& format = *out.sample.format;
  ASSERT_EQ(format.parameterSets.size(), 3u);
  EXPECT_EQ(hevcNALType(format.parameterSets[0]), 32);
  EXPECT_EQ(hevcNALType(format.parameterSets[1]), 33);
  EXPECT_EQ(hevcNALType(format.parameterSets[2]), 34);
  EXPECT_EQ(format.width, 320u);
  EXPECT_EQ(format.height, 240u);
  // hvcC: version 1, profile idc, chroma format, 8-bit luma and chroma.
  ASSERT_GE(format.hvcC.size(), 23u);
  EXPECT_EQ(format.hvcC[0], 1);
  EXPECT_EQ(format.hvcC[1] & 0x1F, c.profileIdc);
  EXPECT_EQ(format.hvcC[16] & 0x03, c.chromaFormat);
  EXPECT_EQ((format.hvcC[17] & 0x07) + 8, 8);
  EXPECT_EQ((format.hvcC[18] & 0x07) + 8, 8);
  EXPECT_EQ(format.hvcC[22], 3) << "three arrays: VPS, SPS, PPS";

  // The payload holds the picture's slices only, each with a 4-byte length.
  for (int type : HEVCTestDecoder::nalTypes(out.sample.data)) {
    EXPECT_TRUE(type < 32 || type > 34) << "parameter set " << type << " inside the payload";
  }
  HEVCTestDecoder decoder;
  auto decoded = decoder.decode(format.parameterSets, out.sample.data);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 320);
  EXPECT_EQ(decoded->height, 240);
  EXPECT_EQ(decoded->profile, c.decodedProfile);
  EXPECT_EQ(decoded->pixelFormat, c.decodedFormat);
  EXPECT_GT(psnrBGR(decoded->bgr0.data(), 320 * 4, picture.baseAddress(), picture.bytesPerRow(), 320, 240), c.minPSNR);

  // A changed picture comes as a delta frame that decodes on top of the key frame.
  fillTestPicture(picture, 2);
  Output delta = encode(*session, picture, 2000, false);
  EXPECT_TRUE(delta.sample.notSync);
  auto second = decoder.decode({}, delta.sample.data);
  ASSERT_TRUE(second);
  EXPECT_GT(psnrBGR(second->bgr0.data(), 320 * 4, picture.baseAddress(), picture.bytesPerRow(), 320, 240), c.minPSNR);

  // A forced key frame is an IDR picture.
  Output forced = encode(*session, picture, 3000, true);
  EXPECT_FALSE(forced.sample.notSync);
  auto types = HEVCTestDecoder::nalTypes(forced.sample.data);
  EXPECT_TRUE(std::find(types.begin(), types.end(), 19) != types.end() ||
              std::find(types.begin(), types.end(), 20) != types.end());
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, EncodeProfile,
    ::testing::Values(ProfileCase{HEVCProfileLevel::mainAutoLevel, 1, 1, 1, AV_PIX_FMT_YUV420P, 27.0},
                      ProfileCase{HEVCProfileLevel::main444AutoLevel, 4, 3, 4, AV_PIX_FMT_YUV444P, 35.0}));

TEST(CompressionSession, BitRateChangedWhileRunningTakesEffectAtTheNextFrame) {
  auto session = makeSession(640, 360, HEVCProfileLevel::mainAutoLevel, 20'000'000);
  PixelBuffer picture(640, 360);
  HEVCTestDecoder decoder;
  int seed = 0;
  auto run = [&](int frames, std::vector<Output>& outs) {
    size_t bytes = 0;
    for (int i = 0; i < frames; ++i, ++seed) {
      fillTestPicture(picture, seed);
      outs.push_back(encode(*session, picture, seed * 16'000'000LL, false));
      bytes += outs.back().sample.data.size();
      auto sets =
          outs.back().sample.notSync ? std::vector<std::vector<uint8_t>>{} : outs.back().sample.format->parameterSets;
      EXPECT_TRUE(decoder.decode(sets, outs.back().sample.data)) << "frame " << seed;
    }
    return bytes;
  };
  std::vector<Output> high, low;
  size_t highBytes = run(12, high);
  EXPECT_EQ(session->setAverageBitRate(1'000'000), 0);
  size_t lowBytes = run(12, low);
  EXPECT_FALSE(low.front().sample.notSync) << "the new rate starts with a key frame";
  for (size_t i = 1; i < low.size(); ++i) EXPECT_TRUE(low[i].sample.notSync);
  EXPECT_LT(lowBytes * 4, highBytes) << "high " << highBytes << " low " << lowBytes;
}

// A picture converted ahead is encoded from its conversion, not from the pixels as they are
// by then; a conversion of another session (even of the same size) is not taken.
TEST(CompressionSession, EncodesAPreparedPictureFromItsConversion) {
  auto session = makeSession(320, 240, HEVCProfileLevel::main444AutoLevel, 4'000'000);
  auto other = makeSession(320, 240, HEVCProfileLevel::main444AutoLevel, 4'000'000);
  PixelBuffer picture(320, 240), first(320, 240), second(320, 240);
  fillTestPicture(first, 1);
  fillTestPicture(second, 7);
  auto psnrTo = [](const DecodedPicture& d, const PixelBuffer& p) {
    return psnrBGR(d.bgr0.data(), 320 * 4, p.baseAddress(), p.bytesPerRow(), 320, 240);
  };
  HEVCTestDecoder decoder;
  auto encodePrepared = [&](CompressionSession& s, const PreparedPicture* prepared, int64_t pts) {
    Output out;
    EXPECT_EQ(s.encodePreparedFrame(picture, prepared, pts, false,
                                    [&](int status, uint32_t, const EncodedSample* sample) {
                                      ++out.calls;
                                      out.status = status;
                                      if (sample) out.sample = *sample;
                                    }),
              0);
    return out;
  };

  std::memcpy(picture.baseAddress(), first.baseAddress(), first.byteCount());
  auto prepared = session->preparePicture(picture);
  ASSERT_TRUE(prepared);
  std::memcpy(picture.baseAddress(), second.baseAddress(), second.byteCount());  // the next grab
  Output out = encodePrepared(*session, prepared.get(), 1000);
  ASSERT_EQ(out.calls, 1);
  auto decoded = decoder.decode(out.sample.format->parameterSets, out.sample.data);
  ASSERT_TRUE(decoded);
  EXPECT_GT(psnrTo(*decoded, first), 35.0) << "the prepared picture";
  EXPECT_LT(psnrTo(*decoded, second), 20.0);

  // Another session converts the pixels itself.
  HEVCTestDecoder otherDecoder;
  Output foreign = encodePrepared(*other, prepared.get(), 1000);
  auto decodedForeign = otherDecoder.decode(foreign.sample.format->parameterSets, foreign.sample.data);
  ASSERT_TRUE(decodedForeign);
  EXPECT_GT(psnrTo(*decodedForeign, second), 35.0);

  PixelBuffer wrongSize(160, 120);
  EXPECT_FALSE(session->preparePicture(wrongSize));
  session->invalidate();
  EXPECT_FALSE(session->preparePicture(picture));
}

TEST(CompressionSession, QuantiserCapSharpensARepeatedPicture) {
  auto session = makeSession(320, 240, HEVCProfileLevel::main444AutoLevel, 4'000'000);
  PixelBuffer picture(320, 240);
  HEVCTestDecoder decoder;
  auto psnrOf = [&](int64_t pts, bool first) {
    Output out = encode(*session, picture, pts, false);
    auto d =
        decoder.decode(first ? out.sample.format->parameterSets : std::vector<std::vector<uint8_t>>{}, out.sample.data);
    EXPECT_TRUE(d);
    return d ? psnrBGR(d->bgr0.data(), 320 * 4, picture.baseAddress(), picture.bytesPerRow(), 320, 240) : 0.0;
  };
  double plain = 0;
  for (int i = 0; i < 6; ++i) {
    fillTestPicture(picture, i);
    plain = psnrOf(i * 16'000'000LL, i == 0);
  }
  EXPECT_EQ(session->setMaxAllowedFrameQP(20), 0);
  double capped = psnrOf(7 * 16'000'000LL, false);
  EXPECT_GT(capped, plain + 2.0) << "plain " << plain << " capped " << capped;
}

TEST(CompressionSession, EncodesTheSmallestPicturesItIsGiven) {
  // Down to one 16-pixel coding unit in either direction, as capture sizes never go lower.
  for (auto [w, h] : {std::pair{16, 16}, std::pair{16, 1080}, std::pair{1920, 18}, std::pair{30, 30}}) {
    SCOPED_TRACE(::testing::Message() << w << "x" << h);
    auto session = makeSession(w, h, HEVCProfileLevel::mainAutoLevel, 1'000'000);
    PixelBuffer picture(w, h);
    Output out = encode(*session, picture, 1, true);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.calls, 1);
    EXPECT_FALSE(out.sample.data.empty());
    session->invalidate();
  }
}

// Sessions come and go with every connection and rate change: one that ended after delta
// frames must leave none of its encoder's memory behind.
TEST(CompressionSession, SessionsEndedAfterDeltaFramesLeaveNothingBehind) {
  PixelBuffer first(1920, 1080), second(1920, 1080);
  fillTestPicture(first, 1);
  fillTestPicture(second, 2);
  auto session = [&] {
    auto s = makeSession(1920, 1080, HEVCProfileLevel::main444AutoLevel, 8'000'000);
    EXPECT_FALSE(encode(*s, first, 1'000, false).sample.notSync);
    EXPECT_TRUE(encode(*s, second, 2'000, false).sample.notSync);
    s->invalidate();
  };
  auto inUse = [] {
    const auto m = mallinfo2();
    return static_cast<long long>(m.uordblks + m.hblkhd);
  };
  // x265 keeps cost tables for each quantiser its encoders used, once per process.
  session();
  session();
  const long long before = inUse();
  for (int i = 0; i < 6; ++i) session();
  EXPECT_LT(inUse() - before, 512 << 10) << "bytes still held after 6 sessions";
}

TEST(CompressionSession, RejectsWhatItCannotDo) {
  int status = 0;
  EXPECT_EQ(createHEVCCompressionSession(321, 240, status), nullptr);
  EXPECT_EQ(status, compressionStatus::parameterError);
  EXPECT_EQ(createHEVCCompressionSession(0, 240, status), nullptr);
  EXPECT_EQ(createHEVCCompressionSession(8194, 240, status), nullptr);

  auto session = createHEVCCompressionSession(64, 64, status, 1);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->setProfileLevel(HEVCProfileLevel::main10AutoLevel), compressionStatus::propertyNotSupported);
  EXPECT_EQ(session->setProfileLevel(HEVCProfileLevel::main44410AutoLevel), compressionStatus::propertyNotSupported);
  PixelBuffer wrongSize(32, 32);
  EXPECT_EQ(session->encodeFrame(wrongSize, 0, false, nullptr), compressionStatus::parameterError);
  session->invalidate();
  PixelBuffer picture(64, 64);
  EXPECT_EQ(session->encodeFrame(picture, 0, false, nullptr), compressionStatus::invalidSession);
  EXPECT_EQ(session->setAverageBitRate(1'000'000), compressionStatus::invalidSession);
}

TEST(HEVCFormatDescription, NeedsAReadableSequenceParameterSet) {
  EXPECT_FALSE(HEVCFormatDescription::make({}));
  EXPECT_FALSE(HEVCFormatDescription::make({{0x42, 0x01, 0x01}}));  // SPS header, nothing after it
  EXPECT_FALSE(parseHEVCSequenceParameterSet({0x40, 0x01, 0x0c}));  // a VPS is not an SPS
}

TEST(PixelBufferPool, RecyclesReleasedBuffersAndOutlivesItsPool) {
  auto pool = PixelBufferPool::make(8, 4, 2);
  PixelBuffer* first = nullptr;
  {
    auto a = pool->take();
    first = a.get();
    EXPECT_EQ(a->bytesPerRow(), 32);
  }
  auto b = pool->take();
  EXPECT_EQ(b.get(), first);
  auto c = pool->take();
  EXPECT_NE(c.get(), first);
  pool.reset();
  c->row(3)[31] = 1;  // still usable after its pool is gone
}

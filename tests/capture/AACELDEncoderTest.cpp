#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "capture/AACTestDecoder.h"
#include "host/capture/AACELDEncoder.h"

namespace brindlet::host {
namespace {

using brindlet::testing::AACTestDecoder;
using brindlet::testing::align;
using brindlet::testing::channelOf;
using brindlet::testing::peakNear;

// `seconds` of interleaved audio: each channel a sum of sines (frequency, amplitude).
std::vector<float> tones(double rate, int channels, double seconds,
                         const std::vector<std::pair<double, double>>& components) {
  const auto frames = static_cast<std::size_t>(rate * seconds);
  std::vector<float> out(frames * channels);
  for (std::size_t i = 0; i < frames; ++i) {
    double v = 0;
    for (auto [f, a] : components) v += a * std::sin(2 * std::numbers::pi * f * static_cast<double>(i) / rate);
    for (int c = 0; c < channels; ++c) out[i * channels + c] = static_cast<float>(c == 1 ? 0.8 * v : v);
  }
  return out;
}

struct RoundTrip {
  std::vector<Bytes> packets;
  std::vector<float> decoded;  // 48 kHz stereo interleaved
  int decodeErrors = 0;
};

// Encodes `input` in batches of 10 ms and decodes the packets with FFmpeg.
RoundTrip roundTrip(AACELDEncoder& encoder, const std::vector<float>& input, int inputChannels, double rate) {
  RoundTrip result;
  const auto batch = static_cast<std::size_t>(rate / 100) * inputChannels;
  for (std::size_t at = 0; at < input.size(); at += batch) {
    std::vector<float> part(input.begin() + static_cast<std::ptrdiff_t>(at),
                            input.begin() + static_cast<std::ptrdiff_t>(std::min(input.size(), at + batch)));
    for (auto& p : encoder.encode(part)) result.packets.push_back(std::move(p));
  }
  AACTestDecoder decoder(encoder.config().magicCookie);
  EXPECT_TRUE(decoder.opened());
  for (const auto& p : result.packets) decoder.decode(p, result.decoded);
  result.decodeErrors = decoder.errors();
  return result;
}

TEST(AACELDEncoder, AnnouncesERAACELDAt48kHzStereoWithItsConfigAsCookie) {
  AACELDEncoder encoder(2, 48000);
  EXPECT_EQ(encoder.config().sampleRate, 48000u);
  EXPECT_EQ(encoder.config().channels, 2);
  EXPECT_EQ(encoder.config().codec, AudioCodec::aacELD);
  // Object type 39 (escaped), 48 kHz, stereo, 512-sample frames, no resilience, no SBR.
  EXPECT_EQ(encoder.config().magicCookie, (Bytes{0xF8, 0xE6, 0x40, 0x00}));
  EXPECT_FALSE(encoder.resamples());

  AACTestDecoder decoder(encoder.config().magicCookie);
  ASSERT_TRUE(decoder.opened());
  std::vector<float> decoded;
  for (const auto& packet : encoder.encode(std::vector<float>(1024 * 3, 0.f))) decoder.decode(packet, decoded);
  EXPECT_GE(decoded.size(), 1024u);
  EXPECT_EQ(decoder.errors(), 0);
  EXPECT_EQ(decoder.channels(), 2);
  EXPECT_EQ(decoder.profile(), 38);  // FF_PROFILE_AAC_ELD
}

TEST(AACELDEncoder, KeepsPartialBlocksForTheNextCall) {
  AACELDEncoder encoder(2, 48000);
  EXPECT_TRUE(encoder.encode(std::vector<float>(1000, 0.1f)).empty());
  auto packets = encoder.encode(std::vector<float>(48, 0.1f));
  EXPECT_EQ(packets.size(), 1u);
  EXPECT_EQ(encoder.pendingCount(), 24u);
  EXPECT_TRUE(encoder.encode({}).empty());
}

// A tone and a mix of tones come back at their frequencies and close to their waveform.
TEST(AACELDEncoder, TonesDecodeToTheInput) {
  struct Case {
    const char* name;
    std::vector<std::pair<double, double>> components;
    double minSnrDb;
  };
  const std::vector<Case> cases{
      {"1 kHz", {{1000, 0.5}}, 30},
      {"multi-tone", {{440, 0.3}, {2500, 0.2}, {7000, 0.1}, {12000, 0.05}}, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AACELDEncoder encoder(2, 48000);
    auto input = tones(48000, 2, 2.0, c.components);
    auto result = roundTrip(encoder, input, 2, 48000);
    EXPECT_EQ(result.decodeErrors, 0);
    ASSERT_EQ(result.packets.size(), input.size() / 1024);
    ASSERT_EQ(result.decoded.size(), result.packets.size() * 1024);
    for (int ch = 0; ch < 2; ++ch) {
      auto in = channelOf(input, 2, ch);
      auto out = channelOf(result.decoded, 2, ch);
      auto aligned = align(in, out, 2048, 24000, 90000);
      std::vector<float> steady(out.begin() + 24000, out.begin() + 90000);
      for (auto [frequency, amplitude] : c.components) {
        EXPECT_NEAR(peakNear(steady, 48000, frequency), frequency, 1.0) << amplitude;
      }
      EXPECT_GE(aligned.snrDb, c.minSnrDb) << "channel " << ch;
      RecordProperty(std::string(c.name) + " snr ch" + std::to_string(ch), std::to_string(aligned.snrDb));
    }
  }
}

// Noise fills every band: the rate loop holds the stream near 128 kbit/s.
TEST(AACELDEncoder, HoldsItsBitRateOnNoise) {
  AACELDEncoder encoder(2, 48000);
  std::mt19937 random(7);
  std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
  std::vector<float> input(48000 * 2 * 2);
  for (auto& s : input) s = noise(random);
  auto result = roundTrip(encoder, input, 2, 48000);
  EXPECT_EQ(result.decodeErrors, 0);
  std::size_t bytes = 0;
  for (const auto& p : result.packets) bytes += p.size();
  double bitRate = static_cast<double>(bytes) * 8 / (static_cast<double>(result.packets.size()) * 512 / 48000);
  EXPECT_NEAR(bitRate, 128000, 128000 * 0.05);
}

// Other rates and mono are converted to 48 kHz stereo first, with the filter's state carried
// across calls (a tone stays clean across the 10 ms batches).
TEST(AACELDEncoder, ResamplesOtherRatesAndMono) {
  struct Case {
    int channels;
    double rate;
  };
  for (const Case c : {Case{2, 44100}, Case{1, 48000}, Case{1, 22050}}) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels at " + std::to_string(c.rate));
    AACELDEncoder encoder(c.channels, c.rate);
    EXPECT_TRUE(encoder.resamples());
    auto input = tones(c.rate, c.channels, 2.0, {{1000, 0.5}});
    auto result = roundTrip(encoder, input, c.channels, c.rate);
    EXPECT_EQ(result.decodeErrors, 0);
    ASSERT_GT(result.decoded.size(), 90000u * 2);
    auto left = channelOf(result.decoded, 2, 0);
    auto right = channelOf(result.decoded, 2, 1);
    std::vector<float> steady(left.begin() + 24000, left.begin() + 90000);
    EXPECT_NEAR(peakNear(steady, 48000, 1000), 1000, 1.0);
    // Against an ideal 1 kHz tone at 48 kHz, aligned on the output.
    auto ideal = tones(48000, 1, 2.5, {{1000, 0.5}});
    EXPECT_GE(align(ideal, left, 48, 24000, 90000).snrDb, 25);
    if (c.channels == 1) {
      EXPECT_GE(align(ideal, right, 48, 24000, 90000).snrDb, 25);
    }
  }
}

TEST(AACELDEncoder, RefusesWhatItCannotEncode) {
  struct Case {
    int channels;
    double rate;
    const char* text;
  };
  for (const Case c : {Case{3, 48000, "3 channels at 48000.0 Hz"}, Case{6, 44100, "6 channels at 44100.0 Hz"},
                       Case{2, 4000, "2 channels at 4000.0 Hz"}, Case{0, 48000, "0 channels at 48000.0 Hz"}}) {
    try {
      AACELDEncoder encoder(c.channels, c.rate);
      ADD_FAILURE() << c.text << " was accepted";
    } catch (const AACELDError& error) {
      EXPECT_STREQ(error.what(), c.text);
    }
  }
}

}  // namespace
}  // namespace brindlet::host

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "host/capture/AACELDEncoder.h"
#include "host/capture/AudioPipeline.h"
#include "host/capture/AudioTapArbiter.h"
#include "host/capture/PCMRing.h"

namespace brindlet::host {
namespace {

// PCMRing ----------------------------------------------------------------------------------

std::vector<float> ramp(int frames, int channels, float from = 0) {
  std::vector<float> out;
  for (int i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) out.push_back(from + static_cast<float>(i) + 0.5f * static_cast<float>(c));
  }
  return out;
}

TEST(PCMRing, DrainsInOrderWithASampleCountedTimeLine) {
  PCMRing ring(2, 100);
  ring.setSampleRate(100);  // one frame = 10 ms
  EXPECT_FALSE(ring.drain());
  auto first = ramp(30, 2);
  ring.write(first.data(), 30, 2, 5'000'000'000);
  // A later write's own time does not matter: the time line counts frames from the first.
  auto second = ramp(10, 2, 30);
  ring.write(second.data(), 10, 2, 9'999'000'000);
  auto batch = ring.drain();
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->second, 5'000'000'000u);
  auto expected = ramp(40, 2);
  EXPECT_EQ(batch->first, expected);
  EXPECT_FALSE(ring.drain());
  ring.write(second.data(), 5, 2, 0);
  EXPECT_EQ(ring.drain()->second, 5'000'000'000u + 40 * 10'000'000u);
}

TEST(PCMRing, CountsLostFramesSoTheTimeJumpsByExactlyTheirSpan) {
  // Overwritten: 150 frames into a ring of 100 lose the oldest 50.
  PCMRing ring(1, 100);
  ring.setSampleRate(1000);
  auto a = ramp(80, 1);
  ring.write(a.data(), 80, 1, 1'000'000);
  auto b = ramp(70, 1, 80);
  ring.write(b.data(), 70, 1, 0);
  auto batch = ring.drain();
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->first, ramp(100, 1, 50));
  EXPECT_EQ(batch->second, 1'000'000u + 50'000'000u);

  // Skipped: one write of more than the ring holds keeps its newest frames.
  auto c = ramp(250, 1, 150);
  ring.write(c.data(), 250, 1, 0);
  batch = ring.drain();
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->first, ramp(100, 1, 300));
  EXPECT_EQ(batch->second, 1'000'000u + 300'000'000u);
}

TEST(PCMRing, DropsBuffersOfAnotherChannelCount) {
  PCMRing ring(2, 10);
  auto mono = ramp(4, 1);
  ring.write(mono.data(), 4, 1, 7);
  EXPECT_FALSE(ring.drain());
}

// AudioTapArbiter --------------------------------------------------------------------------

TEST(AudioTapArbiter, ANewClaimRevokesThePreviousOwnerOnceAndOnlyTheOwnerReleases) {
  AudioTapArbiter arbiter;
  UUID a = UUID::random(), b = UUID::random();
  std::vector<std::string> calls;
  arbiter.claim(a, [&] { calls.push_back("revoke A (first)"); });
  arbiter.claim(a, [&] { calls.push_back("revoke A"); });  // same owner: no revoke
  EXPECT_TRUE(calls.empty());
  arbiter.claim(b, [&] {
    // The arbiter's lock is not held while a revoke runs.
    calls.push_back("revoke B, owner " + std::string(arbiter.ownerID() == b ? "B" : "?"));
  });
  EXPECT_EQ(calls, std::vector<std::string>{"revoke A"});
  arbiter.release(a);
  EXPECT_EQ(arbiter.ownerID(), b);
  arbiter.release(b);
  EXPECT_FALSE(arbiter.ownerID());
  arbiter.claim(a, [] {});
  EXPECT_EQ(calls.size(), 1u);  // B had released: nothing to revoke
}

// AudioPipeline ----------------------------------------------------------------------------

class FakeCapture : public AudioCapturing {
 public:
  explicit FakeCapture(Format format) : format_(format) {}
  Format start(bool muteLocal, Handler handler) override {
    ++starts;
    muted = muteLocal;
    if (failure) throw *failure;
    handler_ = std::move(handler);
    return format_;
  }
  void stop() override { ++stops; }
  void deliver(const std::vector<float>& samples, std::uint64_t micros) { handler_(samples, micros); }

  std::optional<AudioCaptureError> failure;
  int starts = 0;
  int stops = 0;
  bool muted = false;

 private:
  Format format_;
  Handler handler_;
};

// An encoder that turns each 512-frame block into a one-byte packet, or an empty entry for
// the blocks listed in `failing`.
class BlockEncoder : public AudioEncoding {
 public:
  explicit BlockEncoder(std::vector<int> failing) : failing_(std::move(failing)) {}
  const AudioStreamConfig& config() const override { return config_; }
  int framesPerPacket() const override { return 512; }
  std::vector<Bytes> encode(const std::vector<float>& samples) override {
    pending_ += samples.size();
    std::vector<Bytes> out;
    for (; pending_ >= 1024; pending_ -= 1024, ++block_) {
      bool fails = std::find(failing_.begin(), failing_.end(), block_) != failing_.end();
      out.push_back(fails ? Bytes{} : Bytes{static_cast<std::uint8_t>(block_)});
    }
    return out;
  }

 private:
  AudioStreamConfig config_{48000, 2, AudioCodec::aacELD, {1, 2}};
  std::vector<int> failing_;
  std::size_t pending_ = 0;
  int block_ = 0;
};

class BlockEncoders : public AudioEncoderFactory {
 public:
  std::unique_ptr<AudioEncoding> makeEncoder(int, double) const override {
    return std::make_unique<BlockEncoder>(failing);
  }
  std::vector<int> failing;
};

struct PipelineRig {
  explicit PipelineRig(AudioMode mode = AudioMode::both, AudioCapturing::Format format = {2, 48000},
                       std::shared_ptr<AudioEncoderFactory> encoders = nullptr)
      : capture(std::make_shared<FakeCapture>(format)) {
    if (!encoders) encoders = blocks;
    AudioSink sink;
    sink.config = [this](const AudioStreamConfig& c) { configs.push_back(c); };
    sink.packet = [this](const AudioPacket& p) {
      packets.push_back(p);
      return accept;
    };
    pipeline = std::make_shared<AudioPipeline>(mode, capture, encoders, sink);
  }
  std::vector<std::uint64_t> times() const {
    std::vector<std::uint64_t> out;
    for (const auto& p : packets) out.push_back(p.ptsMicros);
    return out;
  }

  std::shared_ptr<FakeCapture> capture;
  std::shared_ptr<BlockEncoders> blocks = std::make_shared<BlockEncoders>();
  std::shared_ptr<AudioPipeline> pipeline;
  std::vector<AudioStreamConfig> configs;
  std::vector<AudioPacket> packets;
  bool accept = true;
};

TEST(AudioPipeline, StampsPacketsFromTheFirstBatchWithoutAccumulatingRounding) {
  PipelineRig rig;
  rig.pipeline->start();
  ASSERT_EQ(rig.configs.size(), 1u);
  EXPECT_FALSE(rig.capture->muted);
  // 10 ms batches whose own times wander by a few microseconds: the stream time holds.
  for (int i = 0; i < 100; ++i) rig.capture->deliver(std::vector<float>(960, 0.f), 1'000'000 + i * 10'000 + (i % 3));
  ASSERT_EQ(rig.packets.size(), 93u);
  EXPECT_EQ(rig.packets[0].ptsMicros, 1'000'000u);
  EXPECT_EQ(rig.packets[1].ptsMicros, 1'010'666u);
  EXPECT_EQ(rig.packets[2].ptsMicros, 1'021'333u);
  EXPECT_EQ(rig.packets[3].ptsMicros, 1'032'000u);
  EXPECT_EQ(rig.packets[75].ptsMicros, 1'800'000u);
  for (std::size_t i = 1; i < rig.packets.size(); ++i) {
    auto step = rig.packets[i].ptsMicros - rig.packets[i - 1].ptsMicros;
    EXPECT_TRUE(step == 10'666 || step == 10'667) << i;
  }
}

TEST(AudioPipeline, ABlockThatFailsToEncodeStillAdvancesTheTimeLine) {
  PipelineRig rig;
  rig.blocks->failing = {1, 2};
  rig.pipeline->start();
  rig.capture->deliver(std::vector<float>(1024 * 4, 0.f), 0);
  EXPECT_EQ(rig.times(), (std::vector<std::uint64_t>{0, 32'000}));
  EXPECT_EQ(rig.pipeline->stats().packets, 4u);
}

TEST(AudioPipeline, LostCaptureFramesMoveTheLaterPacketsByTheirSpan) {
  PipelineRig rig;
  rig.pipeline->start();
  rig.capture->deliver(std::vector<float>(1024, 0.f), 500);  // 512 frames at 500 us
  // The next batch should start at 500 + 10666.67 us; it comes one second later (the drain
  // was not serviced and the ring lost 48000 frames).
  rig.capture->deliver(std::vector<float>(1024, 0.f), 500 + 10'666 + 1'000'000);
  rig.capture->deliver(std::vector<float>(1024, 0.f), 500 + 21'333 + 1'000'000);
  EXPECT_EQ(rig.times(), (std::vector<std::uint64_t>{500, 500 + 1'010'666, 500 + 1'021'333}));
}

TEST(AudioPipeline, CountsWhatTheSinkDropsAndMutesForPhoneOnly) {
  PipelineRig rig(AudioMode::phoneOnly);
  rig.accept = false;
  rig.pipeline->start();
  EXPECT_TRUE(rig.capture->muted);
  rig.capture->deliver(std::vector<float>(2048, 0.f), 0);
  EXPECT_EQ(rig.pipeline->stats().dropped, 2);
  EXPECT_EQ(rig.pipeline->stats().sent, 0);
  rig.pipeline->stop();
  EXPECT_EQ(rig.capture->stops, 1);
  rig.capture->deliver(std::vector<float>(2048, 0.f), 0);  // after stop: nothing
  EXPECT_EQ(rig.packets.size(), 2u);
}

TEST(AudioPipeline, ReportsCaptureAndEncoderFailures) {
  {
    PipelineRig rig;
    rig.capture->failure = AudioCaptureError(AudioCaptureError::Kind::permissionDenied, "denied");
    try {
      rig.pipeline->start();
      ADD_FAILURE();
    } catch (const AudioCaptureError& error) {
      EXPECT_EQ(error.kind(), AudioCaptureError::Kind::permissionDenied);
    }
    EXPECT_TRUE(rig.configs.empty());
  }
  {
    PipelineRig rig(AudioMode::both, {3, 48000}, std::make_shared<AACELDEncoderFactory>());
    try {
      rig.pipeline->start();
      ADD_FAILURE();
    } catch (const AudioCaptureError& error) {
      EXPECT_EQ(error.kind(), AudioCaptureError::Kind::failed);
      EXPECT_STREQ(error.what(), "Audio encoder: 3 channels at 48000.0 Hz");
    }
    EXPECT_EQ(rig.capture->stops, 1);
    EXPECT_TRUE(rig.configs.empty());
  }
}

}  // namespace
}  // namespace brindlet::host

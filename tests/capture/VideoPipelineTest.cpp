// The video pipeline's idle refresh and key-frame refresh on the manual clock, and the video
// sink's hold-back of delta frames after a failed send.
#include <gtest/gtest.h>

#include <condition_variable>

#include "CaptureDoubles.h"
#include "host/capture/VideoPipeline.h"
#include "host/capture/VideoSink.h"
#include "support/TestLoop.h"

using namespace brindlet;
using namespace brindlet::host;
using namespace brindlet::testing;
using namespace std::chrono_literals;

namespace {

CapturedFrame frame(uint64_t t) {
  return CapturedFrame{std::make_shared<platform::PixelBuffer>(16, 16), 1, NormalizedRect::full, t};
}

size_t count(const std::vector<RecordingEncoder::Call>& calls, bool highQuality) {
  size_t n = 0;
  for (const auto& c : calls) n += c.highQuality == highQuality;
  return n;
}

// An encoder whose frames each encode until the test lets them finish; it records which frame
// was encoding while another was prepared, and which frames came to `encode` unprepared.
class GatedEncoder : public RecordingEncoder {
 public:
  struct Prepared {
    uint64_t frame;
    uint64_t whileEncoding;  // 0: none
  };

  void prepare(CapturedFrame& f) override {
    std::lock_guard g(lock_);
    prepared_.push_back({f.captureTimeNs, encoding_});
    f.prepared = std::make_shared<const platform::PreparedPicture>();
    changed_.notify_all();
  }
  void encode(const CapturedFrame& f, bool forceKeyframe, bool highQuality) override {
    size_t n;
    {
      std::unique_lock g(lock_);
      if (!f.prepared) unprepared_.push_back(f.captureTimeNs);
      encoding_ = f.captureTimeNs;
      n = ++started_;
      changed_.notify_all();
      changed_.wait_for(g, std::chrono::seconds(10), [&] { return allowed_ >= n; });
      encoding_ = 0;
    }
    RecordingEncoder::encode(f, forceKeyframe, highQuality);
  }
  // Lets the first `n` frames finish.
  void allow(size_t n) {
    std::lock_guard g(lock_);
    allowed_ = n;
    changed_.notify_all();
  }
  bool waitStarted(size_t n) {
    return waitFor([&] { return started_ >= n; });
  }
  bool waitPrepared(size_t n) {
    return waitFor([&] { return prepared_.size() >= n; });
  }
  std::vector<Prepared> prepared() const {
    std::lock_guard g(lock_);
    return prepared_;
  }
  std::vector<uint64_t> unprepared() const {
    std::lock_guard g(lock_);
    return unprepared_;
  }

 private:
  template <typename F>
  bool waitFor(F condition) {
    std::unique_lock g(lock_);
    return changed_.wait_for(g, std::chrono::seconds(10), condition);
  }
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Prepared> prepared_;
  std::vector<uint64_t> unprepared_;
  uint64_t encoding_ = 0;
  size_t started_ = 0, allowed_ = 0;
};

}  // namespace

// Encoding on its own thread: an idle encoder takes a frame at once; the next frame is
// captured and converted while one encodes, and the newest frame captured meanwhile is encoded
// next, converted once, by the encoder (the frame it replaced was the one converted ahead);
// the idle refresh goes the same way; a frame of the former display still waiting is dropped
// when another display is selected.
TEST(VideoPipeline, EncodingAheadOverlapsCaptureWithEncodingAndEncodesTheNewestFrameNext) {
  TestLoop loop;
  auto encoder = std::make_shared<GatedEncoder>();
  auto pipeline = VideoPipeline::make(encoder, 150ms, loop.io.get_executor(), loop.clock, true);

  pipeline->submit(frame(1));  // returns while frame 1 still encodes
  ASSERT_TRUE(encoder->waitStarted(1));
  pipeline->submit(frame(2));  // neither waits for the encoder
  pipeline->submit(frame(3));
  auto prepared = encoder->prepared();
  ASSERT_EQ(prepared.size(), 2u) << "frame 3 replaced frame 2 without a conversion of its own";
  EXPECT_EQ(prepared[0].whileEncoding, 0u);
  EXPECT_EQ(prepared[1].frame, 2u);
  EXPECT_EQ(prepared[1].whileEncoding, 1u) << "converted while frame 1 encodes";
  encoder->allow(1);
  ASSERT_TRUE(encoder->waitStarted(2));
  encoder->allow(2);

  // The idle refresh of frame 3 is encoded on the encoding thread too.
  loop.advance(200ms);
  ASSERT_TRUE(encoder->waitStarted(3));
  encoder->allow(3);
  ASSERT_TRUE(loop.runUntil([&] { return encoder->calls().size() == 3; }));
  auto calls = encoder->calls();
  EXPECT_EQ(calls[0].frame.captureTimeNs, 1u);
  EXPECT_EQ(calls[1].frame.captureTimeNs, 3u) << "frame 2 was merged into the newer frame 3";
  EXPECT_EQ(encoder->unprepared(), (std::vector<uint64_t>{3, 3})) << "frame 3 and its refresh, converted by the encoder";
  EXPECT_FALSE(calls[1].highQuality);
  EXPECT_TRUE(calls[2].highQuality);
  EXPECT_EQ(calls[2].frame.captureTimeNs, 3u);

  // Frame 4 encodes; frame 5 of display 1 still waits when display 2 is selected.
  pipeline->submit(frame(4));
  ASSERT_TRUE(encoder->waitStarted(4));
  pipeline->submit(frame(5));
  pipeline->switchDisplay(2);
  encoder->allow(10);
  ASSERT_TRUE(loop.runUntil([&] { return encoder->calls().size() == 4; }));
  pipeline->stop();  // waits for the encoding thread
  EXPECT_EQ(encoder->calls().size(), 4u);
  EXPECT_EQ(encoder->calls().back().frame.captureTimeNs, 4u);
  EXPECT_EQ(encoder->invalidations(), 1);
}

TEST(VideoPipeline, AStillPictureIsEncodedOnceMoreAtHighQualityAndThenNothing) {
  TestLoop loop;
  auto encoder = std::make_shared<RecordingEncoder>();
  auto pipeline = VideoPipeline::make(encoder, 150ms, loop.io.get_executor(), loop.clock);
  loop.advance(1s);
  EXPECT_TRUE(encoder->calls().empty()) << "no frame, nothing to encode";

  pipeline->submit(frame(1));
  ASSERT_EQ(encoder->calls().size(), 1u);
  EXPECT_FALSE(encoder->calls()[0].highQuality);
  loop.advance(125ms);
  EXPECT_EQ(encoder->calls().size(), 1u) << "still for less than the idle delay";
  loop.advance(25ms);
  ASSERT_EQ(encoder->calls().size(), 2u);
  EXPECT_TRUE(encoder->calls()[1].highQuality);
  EXPECT_FALSE(encoder->calls()[1].forceKeyframe);
  EXPECT_EQ(encoder->calls()[1].frame.captureTimeNs, 1u);
  loop.advance(5s);
  EXPECT_EQ(encoder->calls().size(), 2u) << "a still screen costs nothing more";

  // A new frame makes the picture eligible again.
  pipeline->submit(frame(2));
  loop.advance(200ms);
  EXPECT_EQ(count(encoder->calls(), true), 2u);
  EXPECT_EQ(encoder->calls().size(), 4u);

  pipeline->stop();
  EXPECT_EQ(encoder->invalidations(), 1);
  pipeline->submit(frame(3));
  loop.advance(1s);
  EXPECT_EQ(encoder->calls().size(), 5u) << "after stop no idle re-encode";
}

TEST(VideoPipeline, AKeyFrameRequestOnAStillScreenGivesAKeyFrameWithinOneTick) {
  TestLoop loop;
  auto encoder = std::make_shared<RecordingEncoder>();
  auto pipeline = VideoPipeline::make(encoder, 150ms, loop.io.get_executor(), loop.clock);
  pipeline->submit(frame(1));
  loop.advance(1s);  // the idle refresh has happened; the screen is still
  const size_t before = encoder->calls().size();

  pipeline->requestKeyframe();
  loop.advance(VideoPipeline::tickInterval);
  auto calls = encoder->calls();
  ASSERT_EQ(calls.size(), before + 1);
  EXPECT_TRUE(calls.back().key);
  EXPECT_EQ(calls.back().frame.captureTimeNs, 1u) << "the last picture again";
  loop.advance(1s);
  EXPECT_EQ(encoder->calls().size(), before + 1) << "one key frame per request";

  // A request made directly on the encoder (as feedback handling does) is caught as well.
  encoder->requestKeyframe();
  loop.advance(VideoPipeline::tickInterval);
  EXPECT_EQ(encoder->calls().size(), before + 2);
  EXPECT_TRUE(encoder->calls().back().key);

  // While frames flow, the next frame carries the key frame and the timer adds nothing.
  pipeline->requestKeyframe();
  for (int i = 0; i < 4; ++i) {
    pipeline->submit(frame(10 + i));
    loop.advance(10ms);
  }
  calls = encoder->calls();
  ASSERT_EQ(calls.size(), before + 6);
  EXPECT_TRUE(calls[before + 2].key);
  for (size_t i = before + 3; i < calls.size(); ++i) EXPECT_FALSE(calls[i].key);
  loop.advance(1s);  // the idle refresh of the last of them

  const size_t flowing = encoder->calls().size();
  // Without a picture there is nothing to send again.
  pipeline->dropLastFrame();
  pipeline->requestKeyframe();
  loop.advance(1s);
  EXPECT_EQ(encoder->calls().size(), flowing);
}

TEST(VideoPipeline, TheFirstFrameOfANewlySelectedDisplayIsTheKeyFrame) {
  TestLoop loop;
  auto encoder = std::make_shared<RecordingEncoder>();
  auto pipeline = VideoPipeline::make(encoder, 150ms, loop.io.get_executor(), loop.clock);
  pipeline->switchDisplay(1);
  pipeline->submit(frame(1));  // display 1
  loop.advance(1s);
  const size_t before = encoder->calls().size();

  pipeline->switchDisplay(2);
  loop.advance(200ms);
  EXPECT_EQ(encoder->calls().size(), before) << "the old display's last frame is not sent again";
  pipeline->submit(frame(2));  // display 1's frame still on its way: dropped
  EXPECT_EQ(encoder->calls().size(), before);
  auto second = frame(3);
  second.displayID = 2;
  pipeline->submit(second);
  auto calls = encoder->calls();
  ASSERT_EQ(calls.size(), before + 1);
  EXPECT_TRUE(calls.back().key);
  EXPECT_EQ(calls.back().frame.displayID, 2u);
  pipeline->stop();
}

TEST(VideoPipeline, AFailedSendOnAStillScreenIsRepairedWithinOneTick) {
  TestLoop loop;
  auto connection = std::make_shared<RecordingConnection>();
  auto sink = std::make_shared<VideoSink>(connection);
  auto encoder = std::make_shared<RecordingEncoder>([sink](const EncoderOutput& o) {
    if (auto* f = std::get_if<EncoderOutput::Frame>(&o.value)) sink->send(f->frame, f->latencyMs);
  });
  auto pipeline = VideoPipeline::make(encoder, 150ms, loop.io.get_executor(), loop.clock);
  loop.advance(1s);  // the pipeline runs from the session's start
  std::weak_ptr<VideoPipeline> weak = pipeline;
  sink->setKeyframeRequester([weak] {
    if (auto p = weak.lock()) p->requestKeyframe();
  });

  pipeline->submit(frame(1));  // key frame, sent
  connection->refuseNext(1);
  pipeline->submit(frame(2));  // delta, refused: the device's picture is broken
  EXPECT_TRUE(sink->stats().waitingForKeyframe);
  loop.advance(VideoPipeline::tickInterval);
  auto frames = connection->frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[1].isKeyframe);
  EXPECT_FALSE(sink->stats().waitingForKeyframe);
}

TEST(VideoSink, HoldsDeltaFramesBackUntilAKeyFrameIsTaken) {
  auto connection = std::make_shared<RecordingConnection>();
  VideoSink sink(connection);
  int requests = 0;
  sink.setKeyframeRequester([&] { ++requests; });
  auto make = [](bool key, size_t bytes) {
    VideoFrame f;
    f.isKeyframe = key;
    f.payload = Bytes(bytes, 7);
    if (key) f.parameterSets = {Bytes(50, 1)};
    return f;
  };
  sink.send(make(true, 1000), 4.0);
  sink.send(make(false, 100), 5.0);
  EXPECT_EQ(sink.stats(), (VideoSink::Stats{2, 0, 1100, 5.0, false})) << "parameter sets do not count";

  connection->refuseNext(1);
  sink.send(make(false, 100), 6.0);  // refused
  EXPECT_EQ(requests, 1);
  sink.send(make(false, 100), 6.0);  // held back, not offered to the connection
  sink.send(make(false, 100), 6.0);
  EXPECT_EQ(requests, 1) << "held-back frames ask for nothing more";
  EXPECT_EQ(sink.stats(), (VideoSink::Stats{2, 3, 1100, 5.0, true}));

  connection->refuseNext(1);
  sink.send(make(true, 1000), 7.0);  // a key frame that fails keeps the sink waiting
  EXPECT_EQ(requests, 2);
  EXPECT_TRUE(sink.stats().waitingForKeyframe);
  sink.send(make(true, 1000), 8.0);
  sink.send(make(false, 100), 9.0);
  EXPECT_EQ(sink.stats(), (VideoSink::Stats{4, 4, 2200, 9.0, false}));
  EXPECT_EQ(connection->frames().size(), 4u);
}

// Capture and encoding against Xvfb as scripts/test-services starts it (two monitors, LEFT
// main at 0,0 and RIGHT at 1920,0): a known picture drawn on the X screen reaches a recording
// connection as HEVC that libavcodec decodes to the same picture; regions and viewports; a
// still screen; the display list and its changes; capture that stops by itself.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "CaptureDoubles.h"
#include "host/capture/DisplayManager.h"
#include "host/capture/HEVCEncoder.h"
#include "host/capture/ScreenCaptureSource.h"
#include "host/capture/VideoPipeline.h"
#include "host/capture/VideoSink.h"
#include "kit/transport/InMemoryConnection.h"
#include "platform/capture/HEVCTestDecoder.h"
#include "platform/capture/TestPictures.h"
#include "platform/capture/XTestWindow.h"
#include "platform/log/Log.h"
#include "platform/video/HEVCFormatDescription.h"
#include "support/TestLoop.h"

using namespace brindlet;
using namespace brindlet::host;
using namespace brindlet::testing;
using namespace std::chrono_literals;

namespace {

// Runs `op` on the loop until it ends; rethrows what it threw.
template <class T>
T await(TestLoop& loop, asio::awaitable<T> op) {
  std::optional<T> result;
  std::exception_ptr error;
  bool done = false;
  asio::co_spawn(loop.io, std::move(op), [&](std::exception_ptr e, T value) {
    error = e;
    if (!e) result = std::move(value);
    done = true;
  });
  if (!loop.runUntil([&] { return done; })) throw std::runtime_error("operation did not end");
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

void await(TestLoop& loop, asio::awaitable<void> op) {
  std::exception_ptr error;
  bool done = false;
  asio::co_spawn(loop.io, std::move(op), [&](std::exception_ptr e) {
    error = e;
    done = true;
  });
  if (!loop.runUntil([&] { return done; })) throw std::runtime_error("operation did not end");
  if (error) std::rethrow_exception(error);
}

platform::CompressionSessionMaker smallMaker() {
  return [](int w, int h, int& status) { return platform::createHEVCCompressionSession(w, h, status, 2); };
}

DisplayInfo displayNamed(const std::vector<DisplayInfo>& list, const std::string& name) {
  for (const auto& d : list) {
    if (d.name == name) return d;
  }
  ADD_FAILURE() << "no display " << name;
  return {};
}

// The whole road of a frame, as a session builds it: sink, encoder, pipeline, capture source.
struct Road {
  TestLoop& loop;
  std::shared_ptr<RecordingConnection> connection = std::make_shared<RecordingConnection>();
  std::shared_ptr<VideoSink> sink;
  std::shared_ptr<VideoEncoder> encoder;
  std::shared_ptr<VideoPipeline> pipeline;
  std::shared_ptr<ScreenCaptureSource> source;

  Road(TestLoop& l, CodecProfile profile, std::shared_ptr<Connection> over = nullptr)
      : loop(l), sink(std::make_shared<VideoSink>(over ? over : std::shared_ptr<Connection>(connection))) {
    auto s = sink;
    encoder = HEVCEncoder::make(
        profile, 8'000'000,
        [s](const EncoderOutput& o) {
          if (auto* f = std::get_if<EncoderOutput::Frame>(&o.value)) s->send(f->frame, f->latencyMs);
        },
        smallMaker());
    pipeline = VideoPipeline::make(encoder, 150ms, loop.io.get_executor(), loop.clock);
    source = ScreenCaptureSource::make(loop.io.get_executor());
    std::weak_ptr<VideoPipeline> weak = pipeline;
    sink->setKeyframeRequester([weak] {
      if (auto p = weak.lock()) p->requestKeyframe();
    });
  }
  ~Road() {
    await(loop, source->stop());
    pipeline->stop();
  }
  void start(const DisplayInfo& display, const Viewport& viewport,
             const CaptureScope& scope = CaptureScope::display()) {
    await(loop, source->setScope(scope));
    std::weak_ptr<VideoPipeline> weak = pipeline;
    await(loop, source->start(display, viewport, [weak](const CapturedFrame& f) {
      if (auto p = weak.lock()) p->submit(f);
    }));
  }
  // Waits (bounded, real time: capture runs on its own thread) for the `n`th frame sent.
  bool waitForFrames(size_t n) {
    return loop.runUntil([&] { return connection->frames().size() >= n; }, 5s);
  }
  // Waits until no new frame has come for a while, then returns the count.
  size_t settle() {
    size_t seen = connection->frames().size();
    for (int i = 0; i < 20; ++i) {
      if (loop.runUntil([&] { return connection->frames().size() > seen; }, 300ms)) {
        seen = connection->frames().size();
      } else {
        break;
      }
    }
    return seen;
  }
};

// Decodes every frame sent so far; the last picture.
std::optional<DecodedPicture> decodeAll(const std::vector<VideoFrame>& frames) {
  HEVCTestDecoder decoder;
  std::optional<DecodedPicture> last;
  for (const auto& f : frames) {
    if (auto d = decoder.decode(f.parameterSets, f.payload)) last = std::move(d);
  }
  return last;
}

double psnrAgainstTestPicture(const DecodedPicture& p, int seed, int offsetX = 0) {
  platform::PixelBuffer expected(p.width, p.height);
  for (int y = 0; y < p.height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(expected.row(y));
    for (int x = 0; x < p.width; ++x) row[x] = testPixel(x + offsetX, y, seed);
  }
  return psnrBGR(p.bgr0.data(), p.width * 4, expected.baseAddress(), expected.bytesPerRow(), p.width, p.height);
}

Viewport pixelViewport(const DisplayInfo& d, double x, double y, double w, double h) {
  return Viewport{d.id,
                  NormalizedRect{float(x / d.frame.width), float(y / d.frame.height), float(w / d.frame.width),
                                 float(h / d.frame.height)},
                  uint32_t(w), uint32_t(h)};
}

}  // namespace

TEST(ScreenCapture, APictureOnTheScreenArrivesAsHEVCThatDecodesToIt) {
  const struct {
    CodecProfile profile;
    int profileIdc;
    double minPSNR;
  } cases[] = {{CodecProfile::hevcMain, 1, 27}, {CodecProfile::hevcMain444, 4, 35}};
  for (const auto& c : cases) {
    TestLoop loop;
    auto displays = DisplayManager::make(loop.io.get_executor(), loop.clock);
    const DisplayInfo right = displayNamed(await(loop, displays->displays()), "RIGHT");
    XTestWindow window(int(right.frame.x) + 100, 200, 320, 240, true);
    window.paint([](int x, int y) { return testPixel(x, y, 21); });
    {
      Road road(loop, c.profile);
      road.start(right, pixelViewport(right, 100, 200, 320, 240));
      ASSERT_TRUE(road.waitForFrames(1));
      road.settle();
      auto frames = road.connection->frames();
      ASSERT_TRUE(frames[0].isKeyframe);
      EXPECT_EQ(frames[0].profile, c.profile);
      EXPECT_EQ(frames[0].displayID, right.id);
      EXPECT_EQ(frames[0].width, 320u);
      EXPECT_EQ(frames[0].height, 240u);
      auto sps = platform::parseHEVCSequenceParameterSet(frames[0].parameterSets.at(1));
      ASSERT_TRUE(sps);
      EXPECT_EQ(sps->profileIdc, c.profileIdc);
      auto picture = decodeAll(frames);
      ASSERT_TRUE(picture);
      EXPECT_EQ(picture->width, 320);
      EXPECT_GT(psnrAgainstTestPicture(*picture, 21), c.minPSNR) << caseName(c.profile);
    }
  }
}

TEST(ScreenCapture, RegionsAndViewportsShowTheirPartOfTheScreen) {
  TestLoop loop;
  auto displays = DisplayManager::make(loop.io.get_executor(), loop.clock);
  const DisplayInfo right = displayNamed(await(loop, displays->displays()), "RIGHT");
  XTestWindow window(int(right.frame.x) + 500, 300, 320, 240, true);
  window.paint([](int x, int y) { return testPixel(x, y, 22); });

  Road road(loop, CodecProfile::hevcMain444);
  // A region of the display, the whole of it in view.
  road.start(right, Viewport{right.id, NormalizedRect::full, 320, 240}, CaptureScope::region(Rect{500, 300, 320, 240}));
  ASSERT_TRUE(road.waitForFrames(1));
  size_t before = road.settle();
  auto picture = decodeAll(road.connection->frames());
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 320);
  EXPECT_GT(psnrAgainstTestPicture(*picture, 22), 35.0);

  // The device zooms to the right half: the still screen still gets a picture of it, tagged
  // with the new source rectangle.
  await(loop, road.source->update(right, Viewport{right.id, NormalizedRect{0.5f, 0, 0.5f, 1}, 160, 240}));
  ASSERT_TRUE(road.waitForFrames(before + 1));
  road.settle();
  auto frames = road.connection->frames();
  EXPECT_EQ(frames.back().sourceRect, (NormalizedRect{0.5f, 0, 0.5f, 1}));
  EXPECT_EQ(frames.back().width, 160u);
  picture = decodeAll(frames);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 160);
  EXPECT_GT(psnrAgainstTestPicture(*picture, 22, 160), 35.0);
  EXPECT_EQ(await(loop, road.source->activeScope()), CaptureScope::region(Rect{500, 300, 320, 240}));
}

TEST(ScreenCapture, AStillScreenSendsNothingBeyondTheIdleRefresh) {
  TestLoop loop;
  auto displays = DisplayManager::make(loop.io.get_executor(), loop.clock);
  const DisplayInfo right = displayNamed(await(loop, displays->displays()), "RIGHT");
  XTestWindow window(int(right.frame.x) + 100, 100, 320, 240, true);
  window.paint([](int x, int y) { return testPixel(x, y, 23); });
  Road road(loop, CodecProfile::hevcMain);
  road.start(right, pixelViewport(right, 100, 100, 320, 240));
  ASSERT_TRUE(road.waitForFrames(1));
  const size_t live = road.settle();
  loop.advance(200ms);  // the idle refresh
  ASSERT_EQ(road.connection->frames().size(), live + 1);
  EXPECT_FALSE(road.connection->frames().back().isKeyframe);
  for (int i = 0; i < 4; ++i) {
    loop.advance(1s);
    EXPECT_FALSE(loop.runUntil([&] { return road.connection->frames().size() > live + 1; }, 100ms));
  }
  // A key-frame request on the still screen is answered within one tick.
  road.pipeline->requestKeyframe();
  loop.advance(VideoPipeline::tickInterval);
  ASSERT_EQ(road.connection->frames().size(), live + 2);
  EXPECT_TRUE(road.connection->frames().back().isKeyframe);
}

TEST(ScreenCapture, TheDisplayListFollowsMonitorChanges) {
  TestLoop loop;
  auto displays = DisplayManager::make(loop.io.get_executor(), loop.clock);
  auto list = await(loop, displays->displays());
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "LEFT");
  EXPECT_TRUE(list[0].isMain);
  EXPECT_EQ(list[0].frame, (DisplayFrame{0, 0, 1920, 1080}));
  EXPECT_EQ(list[1].name, "RIGHT");
  EXPECT_EQ(list[1].frame, (DisplayFrame{1920, 0, 1920, 1080}));
  EXPECT_EQ(list[1].pixelWidth, 1920u);

  auto changes = displays->changes();
  // The server tells nobody of a monitor set or removed: the manager's watcher finds it at its
  // next check of the list, and the notice is debounced, both on the clock.
  const auto noticed = platform::DisplayConfiguration::checkInterval + ChangeBroadcaster::defaultDebounce;
  ASSERT_TRUE(loop.runUntil([&] { return loop.clock->sleeperCount() > 0; }, 5s));  // the watcher waits
  ASSERT_EQ(std::system("xrandr --setmonitor BRINDLETLIST 640/169x480/127+200+100 none"), 0);
  loop.advance(noticed - 1ms);
  EXPECT_EQ(changes.count(), 0u);
  loop.advance(1ms);
  EXPECT_EQ(changes.count(), 1u);
  list = await(loop, displays->displays());
  EXPECT_EQ(list.size(), 3u);
  ASSERT_EQ(std::system("xrandr --delmonitor BRINDLETLIST"), 0);
  loop.advance(noticed);
  EXPECT_EQ(changes.count(), 1u) << "an unread event is not doubled";
  EXPECT_EQ(await(loop, displays->displays()).size(), 2u);
}

TEST(ScreenCapture, CaptureThatStopsByItselfIsReportedToItsOwner) {
  TestLoop loop;
  std::vector<std::string> systemLines;
  std::mutex logLock;
  auto previous = platform::setLogObserver([&](const platform::LogRecord& r) {
    std::lock_guard g(logLock);
    if (r.subsystem.empty()) systemLines.push_back(r.message);
  });
  ASSERT_EQ(std::system("xrandr --setmonitor BRINDLETGONE 640/169x480/127+200+100 none"), 0);
  auto displays = DisplayManager::make(loop.io.get_executor(), loop.clock);
  const DisplayInfo gone = displayNamed(await(loop, displays->displays()), "BRINDLETGONE");
  {
    Road road(loop, CodecProfile::hevcMain);
    auto stops = road.source->stops();
    road.start(gone, Viewport{gone.id, NormalizedRect::full, 320, 240});
    ASSERT_TRUE(road.waitForFrames(1));
    ASSERT_EQ(std::system("xrandr --delmonitor BRINDLETGONE"), 0);
    ASSERT_TRUE(loop.runUntil([&] { return stops.count() > 0; }, 5s));
    auto stop = await(loop, stops.next());
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->displayID, gone.id);
    EXPECT_EQ(stop->description, "The captured display is no longer available.");
    // The source can be started again for another display.
    const DisplayInfo left = displayNamed(await(loop, displays->displays()), "LEFT");
    road.start(left, Viewport{left.id, NormalizedRect::full, 320, 180});
    EXPECT_TRUE(road.waitForFrames(2));
  }
  platform::setLogObserver(previous);
  std::lock_guard g(logLock);
  EXPECT_NE(std::find(systemLines.begin(), systemLines.end(),
                      "Nolu capture stopped: The captured display is no longer available."),
            systemLines.end());
}

TEST(ScreenCapture, StartAndUpdateFailWithTheirErrors) {
  TestLoop loop;
  auto source = ScreenCaptureSource::make(loop.io.get_executor());
  DisplayInfo missing;
  missing.id = 4242;
  missing.frame = DisplayFrame{0, 0, 100, 100};
  try {
    await(loop, source->start(missing, Viewport{4242, NormalizedRect::full, 100, 100}, nullptr));
    ADD_FAILURE() << "no error";
  } catch (const CaptureError& e) {
    EXPECT_EQ(std::string(e.what()), "Display 4242 is not available for capture.");
  }
  try {
    await(loop, source->update(missing, Viewport{4242, NormalizedRect::full, 100, 100}));
    ADD_FAILURE() << "no error";
  } catch (const CaptureError& e) {
    EXPECT_EQ(std::string(e.what()), "Capture has not been started.");
  }
  auto displays = DisplayManager::make(loop.io.get_executor(), loop.clock);
  const DisplayInfo left = displayNamed(await(loop, displays->displays()), "LEFT");
  await(loop, source->setScope(CaptureScope::app(999999, Rect{0, 0, 100, 100})));
  try {
    await(loop, source->start(left, Viewport{left.id, NormalizedRect::full, 100, 100}, nullptr));
    ADD_FAILURE() << "no error";
  } catch (const CaptureError& e) {
    EXPECT_EQ(std::string(e.what()), "The app has no capturable windows.");
  }
}

TEST(ScreenCapture, OverTheInProcessPairTheDeviceDecodesThePictureAndRecoversFromDrops) {
  TestLoop loop;
  auto displays = DisplayManager::make(loop.io.get_executor(), loop.clock);
  const DisplayInfo right = displayNamed(await(loop, displays->displays()), "RIGHT");
  XTestWindow window(int(right.frame.x) + 700, 400, 320, 240, true);
  window.paint([](int x, int y) { return testPixel(x, y, 31); });
  auto [host, device] = InMemoryConnection::pair();
  auto received = device->videoFrames();
  // Takes every frame that has arrived at the device (bounded wait for the first).
  auto take = [&, received](std::vector<VideoFrame>& into) mutable {
    size_t before = into.size();
    for (int i = 0; i < 40; ++i) {
      if (!loop.runUntil([&] { return received.count() > 0; }, i == 0 ? 5s : 300ms)) break;
      while (received.count() > 0) into.push_back(*await(loop, received.next()));
    }
    return into.size() - before;
  };

  Road road(loop, CodecProfile::hevcMain444, host);
  loop.advance(VideoPipeline::firstTick);  // the pipeline's timer runs from the session's start
  road.start(right, pixelViewport(right, 700, 400, 320, 240));
  std::vector<VideoFrame> frames;
  ASSERT_GT(take(frames), 0u);
  ASSERT_TRUE(frames[0].isKeyframe);
  auto sps = platform::parseHEVCSequenceParameterSet(frames[0].parameterSets.at(1));
  ASSERT_TRUE(sps);
  EXPECT_EQ(sps->profileIdc, 4) << "Main 4:4:4 as the parameter sets say it";
  auto picture = decodeAll(frames);
  ASSERT_TRUE(picture);
  EXPECT_GT(psnrAgainstTestPicture(*picture, 31), 35.0);

  // The device stops reading: the transport's budget fills, a frame is refused, and the sink
  // holds the rest back. Then the screen stands still.
  host->setMaxInFlight(2);
  int seed = 31;
  while (!road.sink->stats().waitingForKeyframe && seed < 80) {
    ++seed;
    window.paint([seed](int x, int y) { return testPixel(x, y, seed); });
    loop.runUntil([&] { return road.sink->stats().waitingForKeyframe; }, 200ms);
  }
  ASSERT_TRUE(road.sink->stats().waitingForKeyframe);
  loop.runUntil([&] { return false; }, 300ms);
  std::vector<VideoFrame> backlog;
  take(backlog);  // the device reads what was in flight
  std::vector<VideoFrame> repaired;
  if (road.sink->stats().waitingForKeyframe) {
    // Within one tick of the pipeline a key frame of the still picture goes out.
    loop.advance(VideoPipeline::tickInterval);
    ASSERT_GT(take(repaired), 0u);
  } else {
    // On a slow machine the last paint is captured only once the device reads again, and
    // its picture carries the key frame: the repair is then in what the device just read.
    auto key = std::find_if(backlog.rbegin(), backlog.rend(), [](const VideoFrame& f) { return f.isKeyframe; });
    ASSERT_NE(key, backlog.rend()) << "the sink let frames on without a key frame";
    repaired.assign(std::prev(key.base()), backlog.end());
  }
  EXPECT_TRUE(repaired[0].isKeyframe);
  EXPECT_FALSE(road.sink->stats().waitingForKeyframe);
  picture = decodeAll(repaired);  // a fresh decoder: the key frame alone gives the picture
  ASSERT_TRUE(picture);
  EXPECT_GT(psnrAgainstTestPicture(*picture, seed), 35.0) << "the last picture painted";
}

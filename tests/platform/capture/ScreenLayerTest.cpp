// The X11 screen layer against Xvfb as scripts/test-services starts it: one 3840x1080
// screen shown as two monitors, LEFT (0,0) and RIGHT (1920,0), with openbox.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "kit/support/Task.h"
#include "platform/capture/TestPictures.h"
#include "platform/capture/XTestWindow.h"
#include "platform/screen/DisplayConfiguration.h"
#include "platform/screen/DisplayPower.h"
#include "platform/screen/ScreenStream.h"
#include "platform/screen/ShareableContent.h"
#include "support/TestLoop.h"

using namespace brindlet;
using namespace brindlet::platform;
using namespace brindlet::testing;
using namespace std::chrono_literals;

namespace {

// Collects what a stream delivers.
struct Collector {
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<ScreenSample> samples;
  std::vector<std::string> stops;

  ScreenStream::SampleHandler sampleHandler() {
    return [this](const ScreenSample& s) {
      std::lock_guard g(lock);
      samples.push_back(s);
      arrived.notify_all();
    };
  }
  ScreenStream::StopHandler stopHandler() {
    return [this](const std::string& e) {
      std::lock_guard g(lock);
      stops.push_back(e);
      arrived.notify_all();
    };
  }
  // Waits (bounded) until `count` samples have arrived; false on time-out.
  bool waitFor(size_t count, std::chrono::milliseconds limit = 5s) {
    std::unique_lock g(lock);
    return arrived.wait_for(g, limit, [&] { return samples.size() >= count; });
  }
  size_t count() {
    std::lock_guard g(lock);
    return samples.size();
  }
  ScreenSample at(size_t i) {
    std::lock_guard g(lock);
    return samples.at(i);
  }
};

ScreenDisplay displayNamed(const std::string& name) {
  for (const auto& d : DisplayConfiguration::open()->activeDisplays()) {
    if (d.name == name) return d;
  }
  ADD_FAILURE() << "no display " << name;
  return {};
}

// The share of pixels of `buffer` equal (B, G, R) to the test picture `seed` at offset (ox, oy).
double matchingShare(const PixelBuffer& buffer, int seed, int ox = 0, int oy = 0) {
  size_t same = 0;
  for (int y = 0; y < buffer.height(); ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(buffer.row(y));
    for (int x = 0; x < buffer.width(); ++x) same += (row[x] & 0xFFFFFF) == testPixel(x + ox, y + oy, seed);
  }
  return double(same) / (double(buffer.width()) * buffer.height());
}

}  // namespace

TEST(DisplayConfiguration, ListsBothMonitorsWithTheMainOneAtTheOrigin) {
  auto displays = DisplayConfiguration::open()->activeDisplays();
  ASSERT_EQ(displays.size(), 2u);
  const ScreenDisplay& left = displays[0].name == "LEFT" ? displays[0] : displays[1];
  const ScreenDisplay& right = displays[0].name == "LEFT" ? displays[1] : displays[0];
  EXPECT_EQ(left.name, "LEFT");
  EXPECT_EQ(right.name, "RIGHT");
  EXPECT_TRUE(left.isMain);
  EXPECT_FALSE(right.isMain);
  EXPECT_NE(left.id, right.id);
  EXPECT_EQ((std::vector<double>{left.x, left.y, left.width, left.height}), (std::vector<double>{0, 0, 1920, 1080}));
  EXPECT_EQ((std::vector<double>{right.x, right.y, right.width, right.height}),
            (std::vector<double>{1920, 0, 1920, 1080}));
  EXPECT_EQ(right.pixelWidth, 1920u);
  EXPECT_EQ(right.pixelHeight, 1080u);
}

// The server sends no event when a monitor is set or removed: the watcher finds the change
// when it compares the list, every half second of its clock.
TEST(DisplayConfiguration, ReportsMonitorsSetAndRemovedAtItsNextCheck) {
  TestLoop loop;
  std::shared_ptr<DisplayConfiguration> config = DisplayConfiguration::open();
  std::vector<uint32_t> notices;
  DisplayConfiguration::ReconfigurationCallback record = [&](uint32_t id, uint32_t flags) {
    EXPECT_EQ(flags & displayBeginConfigurationFlag, 0u);
    notices.push_back(id);
  };
  Task watch = Task::spawn(loop.strand(), DisplayConfiguration::watch(config, loop.clock, record));
  ASSERT_TRUE(loop.runUntil([&] { return loop.clock->sleeperCount() == 1; }));
  auto has = [&](const std::string& name) {
    auto list = config->activeDisplays();
    return std::any_of(list.begin(), list.end(), [&](const ScreenDisplay& d) { return d.name == name; });
  };
  const std::pair<const char*, bool> steps[] = {
      {"xrandr --setmonitor BRINDLETTEST 640/169x480/127+200+100 none", true},
      {"xrandr --delmonitor BRINDLETTEST", false},
  };
  for (const auto& [command, present] : steps) {
    SCOPED_TRACE(command);
    ASSERT_EQ(std::system(command), 0);
    EXPECT_EQ(has("BRINDLETTEST"), present);
    loop.advance(499ms);
    EXPECT_TRUE(notices.empty());
    loop.advance(1ms);
    // One notice for each display of the list before or after the change: the two monitors
    // and the one set or removed.
    EXPECT_EQ(notices.size(), 3u);
    notices.clear();
  }
  watch.cancel();
  ASSERT_TRUE(loop.runUntil([&] { return !watch.isRunning(); }));
  EXPECT_EQ(loop.clock->sleeperCount(), 0u);
}

// The test server has no DPMS, so whether its monitors sleep cannot be told; nor for a server
// that cannot be reached.
TEST(DisplayPower, WithoutDPMSOrAServerNothingIsKnown) {
  EXPECT_EQ(MonitorPower().asleep(), std::nullopt);
  EXPECT_EQ(MonitorPower(":9999").asleep(), std::nullopt);
}

TEST(ScreenStream, RegionOfADisplayArrivesAsDrawnAndOnlyWhenItChanges) {
  const ScreenDisplay right = displayNamed("RIGHT");
  XTestWindow window(int(right.rootX) + 100, 200, 320, 240, true);
  window.paint([](int x, int y) { return testPixel(x, y, 5); });

  Collector collector;
  StreamConfiguration config;
  config.sourceRect = ScreenRect{100, 200, 320, 240};
  ScreenStream stream(ContentFilter::display(right.id), config, collector.sampleHandler(), collector.stopHandler());
  uint64_t before = hostTimeNowNs();
  stream.startCapture();
  ASSERT_TRUE(collector.waitFor(1));
  ScreenSample first = collector.at(0);
  ASSERT_EQ(first.pixelBuffer->width(), 320);
  ASSERT_EQ(first.pixelBuffer->height(), 240);
  EXPECT_GE(first.presentationTimeNs, before);
  // The window manager may still be redrawing after an earlier test: wait (bounded) until
  // the screen is still, then the picture is the one drawn.
  for (int i = 0; i < 20 && collector.waitFor(collector.count() + 1, 300ms); ++i) {
  }
  EXPECT_EQ(matchingShare(*collector.at(collector.count() - 1).pixelBuffer, 5), 1.0);

  // A change elsewhere (the other monitor) delivers nothing.
  size_t still = collector.count();
  {
    XTestWindow elsewhere(300, 300, 200, 100, true);
    elsewhere.paint([](int, int) { return 0x00ff00ffu; });
    EXPECT_FALSE(collector.waitFor(still + 1, 300ms));
  }
  // A change inside the region delivers the new picture (the painting may take several
  // pictures to arrive: the last one shows all of it).
  window.paint([](int x, int y) { return testPixel(x, y, 6); });
  ASSERT_TRUE(collector.waitFor(still + 1));
  for (size_t seen = still + 1; matchingShare(*collector.at(collector.count() - 1).pixelBuffer, 6) < 1.0; ++seen) {
    ASSERT_TRUE(collector.waitFor(seen + 1, 2s)) << "the new picture never arrived whole";
  }

  stream.stopCapture();
  size_t afterStop = collector.count();
  window.paint([](int x, int y) { return testPixel(x, y, 7); });
  EXPECT_FALSE(collector.waitFor(afterStop + 1, 200ms));
  EXPECT_TRUE(collector.stops.empty()) << "a requested stop is not an error";
}

TEST(ScreenStream, ScalesAndAppliesANewRegionWithAFreshPicture) {
  const ScreenDisplay right = displayNamed("RIGHT");
  XTestWindow window(int(right.rootX) + 400, 100, 640, 360, true);
  // 2x2 blocks of one colour: halving them keeps each colour exactly.
  window.paint([](int x, int y) { return testPixel(x / 2, y / 2, 9); });

  Collector collector;
  StreamConfiguration config;
  config.sourceRect = ScreenRect{400, 100, 640, 360};
  config.width = 320;
  config.height = 180;
  ScreenStream stream(ContentFilter::display(right.id), config, collector.sampleHandler(), collector.stopHandler());
  stream.startCapture();
  ASSERT_TRUE(collector.waitFor(1));
  ScreenSample scaled = collector.at(0);
  ASSERT_EQ(scaled.pixelBuffer->width(), 320);
  ASSERT_EQ(scaled.pixelBuffer->height(), 180);
  EXPECT_GT(matchingShare(*scaled.pixelBuffer, 9), 0.9);

  // The right half of the window at full size: the still screen still gets one new picture.
  StreamConfiguration half;
  half.sourceRect = ScreenRect{720, 100, 320, 360};
  uint64_t appliedAt = stream.updateConfiguration(half);
  ASSERT_TRUE(collector.waitFor(2));
  ScreenSample next = collector.at(1);
  EXPECT_GE(next.presentationTimeNs, appliedAt);
  EXPECT_LT(scaled.presentationTimeNs, appliedAt);
  ASSERT_EQ(next.pixelBuffer->width(), 320);
  ASSERT_EQ(next.pixelBuffer->height(), 360);
  size_t same = 0;
  for (int y = 0; y < 360; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(next.pixelBuffer->row(y));
    for (int x = 0; x < 320; ++x) same += (row[x] & 0xFFFFFF) == testPixel((x + 320) / 2, y / 2, 9);
  }
  EXPECT_EQ(same, 320u * 360u);
  EXPECT_FALSE(collector.waitFor(3, 200ms));

  // A display that does not exist is refused and the stream keeps its settings.
  EXPECT_THROW(stream.updateContentFilter(ContentFilter::display(12345)), ScreenError);
  window.paint([](int x, int y) { return testPixel(x / 2, y / 2, 10); });
  ASSERT_TRUE(collector.waitFor(3));
  EXPECT_EQ(collector.at(2).pixelBuffer->width(), 320);
  EXPECT_EQ(collector.at(2).pixelBuffer->height(), 360);
}

TEST(ScreenStream, AppFilterShowsOnlyThatProcessesWindows) {
  const ScreenDisplay left = displayNamed("LEFT");
  XTestWindow mine(0, 0, 300, 200, false);  // placed by openbox, carries our process ID
  mine.paint([](int x, int y) { return testPixel(x, y, 11); });

  ShareableContent content = ShareableContent::current();
  auto w = std::find_if(content.windows.begin(), content.windows.end(),
                        [&](const ShareableWindow& s) { return s.windowID == mine.id(); });
  ASSERT_NE(w, content.windows.end());
  EXPECT_EQ(w->pid, int32_t(getpid()));
  EXPECT_TRUE(std::any_of(content.applications.begin(), content.applications.end(),
                          [](const ShareableApplication& a) { return a.processID == int32_t(getpid()); }));
  // A window of another process over part of ours.
  int wx = int(w->frame.x), wy = int(w->frame.y), ww = int(w->frame.width), wh = int(w->frame.height);
  XTestWindow other(wx + ww / 2, wy, ww, wh, true, int32_t(getpid()) + 100000);
  other.paint([](int, int) { return 0x00ffffffu; });

  Collector collector;
  StreamConfiguration config;
  config.sourceRect = ScreenRect{double(wx), double(wy), double(ww), double(wh)};
  ScreenStream stream(ContentFilter::including(left.id, {int32_t(getpid())}), config, collector.sampleHandler(),
                      collector.stopHandler());
  stream.startCapture();
  ASSERT_TRUE(collector.waitFor(1));
  ScreenSample sample = collector.at(0);
  // The uncovered part of our window's client area shows its picture; the other process's
  // window is black.
  auto [cx, cy] = mine.rootPosition();
  size_t ours = 0, oursExpected = 0, black = 0;
  for (int y = 0; y < wh; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(sample.pixelBuffer->row(y));
    for (int x = 0; x < ww; ++x) {
      uint32_t p = row[x] & 0xFFFFFF;
      int clientX = wx + x - cx, clientY = wy + y - cy;
      if (x >= ww / 2) {
        black += p == 0;
      } else if (clientX >= 0 && clientX < 300 && clientY >= 0 && clientY < 200) {
        ++oursExpected;
        ours += p == testPixel(clientX, clientY, 11);
      }
    }
  }
  EXPECT_EQ(black, size_t(ww - ww / 2) * wh) << "the other process's window is not shown";
  EXPECT_GT(oursExpected, 20000u);
  EXPECT_EQ(ours, oursExpected);
}

TEST(ScreenStream, StartFailsForAMissingDisplayAndUpdateNeedsARunningStream) {
  Collector collector;
  ScreenStream missing(ContentFilter::display(4242), {}, collector.sampleHandler(), collector.stopHandler());
  EXPECT_THROW(missing.startCapture(), ScreenError);
  EXPECT_THROW(missing.updateConfiguration({}), ScreenError);
}

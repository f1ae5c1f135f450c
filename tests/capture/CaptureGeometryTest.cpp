// Capture geometry, the bit-rate controller's table and the region tagger.
#include <gtest/gtest.h>

#include <cmath>

#include "host/capture/BitrateController.h"
#include "host/capture/CaptureGeometry.h"
#include "host/capture/RegionTagger.h"

using namespace brindlet;
using namespace brindlet::host;

namespace {

DisplayInfo display(uint32_t pw, uint32_t ph, float w, float h) {
  DisplayInfo d;
  d.id = 7;
  d.pixelWidth = pw;
  d.pixelHeight = ph;
  d.frame = DisplayFrame{0, 0, w, h};
  return d;
}

ClientCapabilities client(uint32_t w, uint32_t h) {
  ClientCapabilities c;
  c.screenPixelWidth = w;
  c.screenPixelHeight = h;
  return c;
}

Viewport viewport(NormalizedRect r, uint32_t w, uint32_t h) { return Viewport{7, r, w, h}; }

}  // namespace

TEST(CaptureGeometry, DefaultViewportFitsTheDeviceWithoutUpscaling) {
  Viewport v = defaultViewport(display(5120, 2880, 2560, 1440), client(2732, 2048));
  EXPECT_EQ(v.displayID, 7u);
  EXPECT_EQ(v.sourceRect, NormalizedRect::full);
  EXPECT_EQ(v.outputWidth, 2732u);
  EXPECT_EQ(v.outputHeight, 1536u);  // 1537 made even
  Viewport big = defaultViewport(display(1920, 1080, 1920, 1080), client(4000, 3000));
  EXPECT_EQ(big.outputWidth, 1920u);
  EXPECT_EQ(big.outputHeight, 1080u);
  Viewport none = defaultViewport(display(0, 0, 0, 0), client(0, 0));
  EXPECT_EQ(none.outputWidth, smallestCaptureSize);
  EXPECT_EQ(none.outputHeight, smallestCaptureSize);
}

TEST(CaptureGeometry, SizesAreEvenAndWithinLimits) {
  const struct {
    double in;
    uint32_t out;
  } cases[] = {{0, 16}, {1, 16}, {3, 16}, {17, 16}, {8191, 8190}, {8192, 8192}, {9000, 8192}, {19, 18}, {NAN, 16}};
  for (const auto& c : cases) EXPECT_EQ(evenCaptureSize(c.in), c.out) << c.in;
  CaptureGeometry g = displayOutputSize(display(1920, 1080, 1920, 1080), viewport(NormalizedRect::full, 9000, 7));
  EXPECT_EQ(g.width, 8192u);
  EXPECT_EQ(g.height, 16u);
}

TEST(CaptureGeometry, SourceRectangleStaysInsideTheDisplay) {
  CaptureGeometry g = displayOutputSize(display(1000, 500, 1000, 500), viewport({0.9f, 0.9f, 0.5f, 0.5f}, 100, 100));
  EXPECT_NEAR(g.sourceRect.x, 900, 1e-3);
  EXPECT_NEAR(g.sourceRect.y, 450, 1e-3);
  EXPECT_NEAR(g.sourceRect.width, 100, 1e-3);
  EXPECT_NEAR(g.sourceRect.height, 50, 1e-3);
  NormalizedRect zero = clampedSourceRect({-1, 2, 0, -3});
  EXPECT_FLOAT_EQ(zero.x, 0);
  EXPECT_FLOAT_EQ(zero.y, 1);
  EXPECT_NEAR(zero.width, 0.001, 1e-6);
  EXPECT_NEAR(zero.height, 0.001, 1e-6);
}

TEST(CaptureGeometry, RegionsAreCapturedAtMostAtTheDisplaysDensity) {
  const DisplayInfo retina = display(3840, 2160, 1920, 1080);  // 2 pixels a point
  const CaptureScope region = CaptureScope::region(Rect{100, 50, 800, 600});
  CaptureGeometry large = captureOutputSize(retina, viewport(NormalizedRect::full, 4000, 4000), region);
  EXPECT_EQ(large.sourceRect, (Rect{100, 50, 800, 600}));
  EXPECT_EQ(large.width, 1600u);
  EXPECT_EQ(large.height, 1200u);
  CaptureGeometry small = captureOutputSize(retina, viewport(NormalizedRect::full, 400, 400), region);
  EXPECT_EQ(small.width, 400u);
  EXPECT_EQ(small.height, 300u);
  // The viewport's fractions apply to the base rectangle; an app scope works the same way.
  CaptureGeometry half =
      captureOutputSize(retina, viewport({0.5f, 0, 0.5f, 1}, 400, 600), CaptureScope::app(42, Rect{100, 50, 800, 600}));
  EXPECT_EQ(half.sourceRect, (Rect{500, 50, 400, 600}));
  EXPECT_EQ(half.width, 400u);
  EXPECT_EQ(half.height, 600u);
  // Without an output size the viewport's size (made valid) is used.
  CaptureGeometry zero = captureOutputSize(retina, viewport(NormalizedRect::full, 0, 0), region);
  EXPECT_EQ(zero.width, smallestCaptureSize);
  EXPECT_EQ(zero.height, smallestCaptureSize);
}

TEST(BitrateController, FollowsItsTable) {
  const Feedback clean{60, 0, 5, false};
  const Feedback congested{60, 3, 5, false};
  BitrateController c;
  EXPECT_EQ(c.update(clean, 100.0), std::nullopt) << "a first clean report only starts the stretch";
  EXPECT_EQ(c.update(clean, 102.0), 17'600'000);
  EXPECT_EQ(c.update(clean, 103.9), std::nullopt);

  BitrateController d;
  EXPECT_EQ(d.update(congested, 10.0), 11'200'000);
  EXPECT_EQ(d.update(congested, 10.4), std::nullopt);
  EXPECT_FALSE(d.cleanSince.has_value());
  EXPECT_EQ(d.update(congested, 10.5), 7'839'999);

  BitrateController top;
  top.bitrate = 40'000'000;
  top.update(clean, 0);
  EXPECT_EQ(top.update(clean, 2), std::nullopt);
  EXPECT_EQ(top.bitrate, 40'000'000);
  BitrateController bottom;
  bottom.bitrate = 4'000'000;
  EXPECT_EQ(bottom.update(congested, 0), std::nullopt);
  EXPECT_EQ(bottom.bitrate, 4'000'000);

  BitrateController edge;  // jitter exactly at the threshold is clean; NaN is not congestion
  EXPECT_EQ(edge.update(Feedback{60, 0, 30, false}, 0), std::nullopt);
  EXPECT_EQ(edge.update(Feedback{60, 0, NAN, false}, 2), 17'600'000);
  EXPECT_EQ(edge.update(Feedback{60, 0, 30.5f, false}, 2.1), 12'320'000);
}

TEST(RegionTagger, TagsPicturesAcrossARegionChange) {
  const NormalizedRect a{0, 0, 1, 1}, b{0.5f, 0.5f, 0.5f, 0.5f};
  RegionTagger t;
  t.segments.push_back({a, 0});  // as the capture seeds it on the first request
  t.pending.push_back({b, 5'000});
  EXPECT_EQ(t.tag(4'000, a), a) << "before the request: the old region";
  EXPECT_EQ(t.tag(5'000, a), std::nullopt) << "at or after the request: unknown until confirmed";
  EXPECT_EQ(t.tag(std::nullopt, b), std::nullopt) << "no time while a change is pending";
  t.applied(9'000);
  EXPECT_EQ(t.tag(7'000, b), std::nullopt) << "inside the gap";
  EXPECT_EQ(t.tag(9'000, b), std::nullopt) << "the gap's bounds count";
  EXPECT_EQ(t.tag(9'001, b), b);
  EXPECT_EQ(t.tag(4'000, b), a);
  EXPECT_EQ(t.tag(std::nullopt, b), b);

  // Old history is pruned one second before the latest change.
  t.pending.push_back({a, 2'000'000'000});
  t.applied(2'000'000'100);
  ASSERT_EQ(t.segments.size(), 2u) << "the region in force a second before stays";
  EXPECT_EQ(t.segments[0].rect, b);
  ASSERT_EQ(t.gaps.size(), 1u);
  EXPECT_EQ(t.gaps[0].lower, 2'000'000'000u);

  // A failed change rolls back to what is in force.
  RegionTagger r;
  r.segments.push_back({a, 0});
  r.pending.push_back({b, 10});
  r.pending.push_back({a, 20});
  EXPECT_EQ(r.cancelLatest(), b);
  EXPECT_EQ(r.cancelLatest(), a);
  EXPECT_EQ(r.cancelLatest(), std::nullopt);
}

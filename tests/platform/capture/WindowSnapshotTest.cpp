// Window pictures from the window's own pixels on the test X server: the JPEG decodes back to
// the window's pattern at the asked width (PSNR above 30 dB), also while another window covers
// it; a window that is gone, unmapped or too small gives nothing; a very wide one is 2 high.

#include <gtest/gtest.h>

#include <cmath>

#include "platform/capture/XTestWindow.h"
#include "platform/image/ImageCodec.h"
#include "platform/screen/WindowSnapshot.h"

namespace brindlet::platform {
namespace {

using brindlet::testing::XTestWindow;

// Four blocks of colour, so that scaling and JPEG change little but a wrong source shows.
std::uint32_t quadrants(int x, int y, int w, int h, std::uint32_t a, std::uint32_t b) {
  const bool left = x < w / 2, top = y < h / 2;
  return (left == top) ? a : b;
}

// PSNR of the decoded picture against the pattern sampled at each pixel's centre.
double psnr(const RGBAImage& image, int srcW, int srcH, const std::function<std::uint32_t(int, int)>& pattern) {
  double squared = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const std::uint32_t p = pattern(int((x + 0.5) * srcW / image.width), int((y + 0.5) * srcH / image.height));
      const std::uint8_t* got = &image.rgba[std::size_t(y * image.width + x) * 4];
      const int expected[3] = {int(p >> 16 & 0xff), int(p >> 8 & 0xff), int(p & 0xff)};
      for (int c = 0; c < 3; ++c) squared += double(got[c] - expected[c]) * (got[c] - expected[c]);
    }
  }
  const double mse = squared / (double(image.width) * image.height * 3);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

TEST(WindowSnapshot, APictureShowsTheWindowsOwnPixelsEvenWhenCovered) {
  auto snapshot = WindowSnapshot::open();
  XTestWindow window(200, 150, 320, 240, false);
  auto first = [](int x, int y) { return quadrants(x, y, 320, 240, 0xd02020, 0x2040e0); };
  window.paint(first);
  auto jpeg = snapshot->jpeg(window.id(), 160, 80);
  ASSERT_TRUE(jpeg);
  auto picture = decodeJPEG(*jpeg);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 160);
  EXPECT_EQ(picture->height, 120);
  const double uncovered = psnr(*picture, 320, 240, first);
  EXPECT_GT(uncovered, 30) << "PSNR " << uncovered;

  // Another window lies over all of it; the window paints a new pattern meanwhile.
  const auto [x, y] = window.rootPosition();
  XTestWindow cover(x - 10, y - 10, 360, 280, true);
  cover.paint([](int, int) { return 0x30c030; });
  auto second = [](int x, int y) { return quadrants(x, y, 320, 240, 0xf0f0f0, 0x101010); };
  window.paint(second);
  jpeg = snapshot->jpeg(window.id(), 160, 80);
  ASSERT_TRUE(jpeg);
  picture = decodeJPEG(*jpeg);
  ASSERT_TRUE(picture);
  const double covered = psnr(*picture, 320, 240, second);
  EXPECT_GT(covered, 30) << "PSNR " << covered;
}

TEST(WindowSnapshot, WindowsThatCannotBePicturedGiveNothing) {
  auto snapshot = WindowSnapshot::open();
  EXPECT_FALSE(snapshot->jpeg(0x7ffffff0, 320, 60));  // no such window
  XTestWindow tiny(10, 10, 1, 1, true);
  EXPECT_FALSE(snapshot->jpeg(tiny.id(), 320, 60));
  XTestWindow wide(0, 0, 1000, 2, true);
  auto jpeg = snapshot->jpeg(wide.id(), 320, 60);
  ASSERT_TRUE(jpeg);
  auto picture = decodeJPEG(*jpeg);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 320);
  EXPECT_EQ(picture->height, 2);
}

}  // namespace
}  // namespace brindlet::platform

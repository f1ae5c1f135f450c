// B,G,R,X to Y'CbCr: the BT.709 limited-range values of known colours, chroma as the mean of
// each 2x2 block, odd sizes, and bands on several threads giving the same picture as one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "platform/video/PixelConverter.h"

using namespace brindlet::platform;

namespace {

uint32_t bgrx(int r, int g, int b) { return uint32_t(b) | uint32_t(g) << 8 | uint32_t(r) << 16; }

struct YCbCr {
  double y, cb, cr;
};

// The BT.709 limited-range formula, in floating point.
YCbCr reference(double r, double g, double b) {
  const double ey = (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255;
  return {16 + 219 * ey, 128 + 224 * ((b / 255 - ey) / 1.8556), 128 + 224 * ((r / 255 - ey) / 1.5748)};
}

// Planes with a guard band after each, to catch writes past the picture.
struct Planes {
  static constexpr uint8_t guard = 0xA5;
  int width, height, chromaWidth, chromaHeight;
  std::vector<uint8_t> data[3];

  Planes(int w, int h, PlanarFormat format)
      : width(w),
        height(h),
        chromaWidth(format == PlanarFormat::yuv444 ? w : (w + 1) / 2),
        chromaHeight(format == PlanarFormat::yuv444 ? h : (h + 1) / 2) {
    data[0].assign(size_t(stride(0)) * height + 64, guard);
    for (int p = 1; p < 3; ++p) data[p].assign(size_t(stride(p)) * chromaHeight + 64, guard);
  }
  int stride(int plane) const { return (plane == 0 ? width : chromaWidth) + 16; }
  PlanarPicture picture() {
    PlanarPicture out;
    for (int p = 0; p < 3; ++p) {
      out.planes[p] = data[p].data();
      out.strides[p] = stride(p);
    }
    return out;
  }
  uint8_t at(int plane, int x, int y) const { return data[plane][size_t(y) * stride(plane) + x]; }
  bool guardsIntact() const {
    for (int p = 0; p < 3; ++p) {
      const int w = p == 0 ? width : chromaWidth, h = p == 0 ? height : chromaHeight;
      for (int y = 0; y < h; ++y) {
        for (int x = w; x < stride(p); ++x) {
          if (at(p, x, y) != guard) return false;
        }
      }
      for (size_t i = size_t(stride(p)) * h; i < data[p].size(); ++i) {
        if (data[p][i] != guard) return false;
      }
    }
    return true;
  }
};

void convert(const std::vector<uint32_t>& pixels, int w, int h, PlanarFormat format, int threads, Planes& out) {
  auto converter = PixelConverter::toPlanar(w, h, format, threads);
  ASSERT_TRUE(converter);
  ASSERT_TRUE(converter->convert(reinterpret_cast<const uint8_t*>(pixels.data()), w * 4, out.picture()));
}

TEST(PixelConversion, KnownColoursGetTheirLimitedRangeValues) {
  const int colours[][3] = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {128, 64, 200}};
  for (auto format : {PlanarFormat::yuv420, PlanarFormat::yuv444}) {
    for (const auto& c : colours) {
      std::vector<uint32_t> pixels(4 * 4, bgrx(c[0], c[1], c[2]));
      Planes out(4, 4, format);
      convert(pixels, 4, 4, format, 1, out);
      const YCbCr want = reference(c[0], c[1], c[2]);
      SCOPED_TRACE(testing::Message() << "rgb " << c[0] << "," << c[1] << "," << c[2]);
      EXPECT_LE(std::abs(out.at(0, 3, 3) - want.y), 0.51);
      EXPECT_LE(std::abs(out.at(1, 1, 1) - want.cb), 0.51);
      EXPECT_LE(std::abs(out.at(2, 1, 1) - want.cr), 0.51);
    }
  }
}

TEST(PixelConversion, ChromaOfAFourTwoZeroPictureIsTheMeanOfEachBlock) {
  // A 3x3 picture: the first block is half red, half blue; the last column and row pair
  // with themselves.
  const uint32_t red = bgrx(255, 0, 0), blue = bgrx(0, 0, 255), grey = bgrx(100, 100, 100);
  std::vector<uint32_t> pixels = {red, red, grey, blue, blue, grey, grey, grey, red};
  Planes out(3, 3, PlanarFormat::yuv420);
  convert(pixels, 3, 3, PlanarFormat::yuv420, 1, out);
  const YCbCr mixed = reference(127.5, 0, 127.5), greyValue = reference(100, 100, 100), redValue = reference(255, 0, 0);
  const struct {
    int x, y;
    YCbCr want;
  } blocks[] = {{0, 0, mixed}, {1, 0, greyValue}, {0, 1, greyValue}, {1, 1, redValue}};
  for (const auto& b : blocks) {
    EXPECT_LE(std::abs(out.at(1, b.x, b.y) - b.want.cb), 0.51) << b.x << "," << b.y;
    EXPECT_LE(std::abs(out.at(2, b.x, b.y) - b.want.cr), 0.51) << b.x << "," << b.y;
  }
  EXPECT_LE(std::abs(out.at(0, 2, 2) - redValue.y), 0.51);
  EXPECT_TRUE(out.guardsIntact());
}

TEST(PixelConversion, BandsOnSeveralThreadsGiveTheSamePicture) {
  std::mt19937 random(7);
  for (auto format : {PlanarFormat::yuv420, PlanarFormat::yuv444}) {
    for (int h : {600, 1025}) {  // two bands, and four ending on an odd row
      const int w = 322;
      std::vector<uint32_t> pixels(size_t(w) * h);
      for (auto& p : pixels) p = random() & 0xffffff;
      Planes one(w, h, format), several(w, h, format);
      convert(pixels, w, h, format, 1, one);
      convert(pixels, w, h, format, 4, several);
      for (int p = 0; p < 3; ++p) EXPECT_EQ(one.data[p], several.data[p]) << "plane " << p << " height " << h;
      EXPECT_TRUE(several.guardsIntact());
    }
  }
}

}  // namespace

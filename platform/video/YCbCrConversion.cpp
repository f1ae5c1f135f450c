#include "platform/video/YCbCrConversion.h"

#include "platform/video/PixelConverter.h"

// A version of each conversion for AVX2, SSE4.1 and the baseline, chosen when the program is
// loaded. Not under ThreadSanitizer: its run-time is not ready when the choice is made.
#if defined(__SANITIZE_THREAD__)
#define CONVERSION_CLONES
#else
#define CONVERSION_CLONES __attribute__((target_clones("avx2", "sse4.1", "default")))
#endif

namespace brindlet::platform {
namespace {

// BT.709 coefficients scaled to 16 fractional bits, already mapped to the limited ranges
// (219 steps of luma, 224 of chroma). Each chroma row sums to zero, so grey has no colour.
constexpr int32_t yR = 11966, yG = 40254, yB = 4064;
constexpr int32_t cbR = -6596, cbG = -22188, cbB = 28784;
constexpr int32_t crR = 28784, crG = -26145, crB = -2639;

inline int32_t blue(uint32_t p) { return static_cast<int32_t>(p & 0xff); }
inline int32_t green(uint32_t p) { return static_cast<int32_t>((p >> 8) & 0xff); }
inline int32_t red(uint32_t p) { return static_cast<int32_t>((p >> 16) & 0xff); }

inline uint8_t luma(uint32_t p) {
  return static_cast<uint8_t>((yR * red(p) + yG * green(p) + yB * blue(p) + (16 << 16) + (1 << 15)) >> 16);
}

// `shift` is 16 for one pixel, 18 for the sum of four. The offset keeps every sum positive.
template <int shift>
inline uint8_t chroma(int32_t kR, int32_t kG, int32_t kB, int32_t r, int32_t g, int32_t b) {
  return static_cast<uint8_t>((kR * r + kG * g + kB * b + (128 << shift) + (1 << (shift - 1))) >> shift);
}

void lumaRow(const uint32_t* row, int width, uint8_t* out) {
  for (int x = 0; x < width; ++x) out[x] = luma(row[x]);
}

}  // namespace

CONVERSION_CLONES void convertBGRXToYCbCr420(const uint8_t* src, int srcStride, int width, int height, int firstRow,
                                             int endRow, const PlanarPicture& dst) {
  const int pairs = width / 2;
  for (int y = firstRow; y < endRow; y += 2) {
    const auto* row0 = reinterpret_cast<const uint32_t*>(src + static_cast<ptrdiff_t>(y) * srcStride);
    // The last row of an odd height pairs with itself.
    const auto* row1 =
        y + 1 < height ? reinterpret_cast<const uint32_t*>(src + static_cast<ptrdiff_t>(y + 1) * srcStride) : row0;
    lumaRow(row0, width, dst.planes[0] + static_cast<ptrdiff_t>(y) * dst.strides[0]);
    if (y + 1 < height) lumaRow(row1, width, dst.planes[0] + static_cast<ptrdiff_t>(y + 1) * dst.strides[0]);
    uint8_t* cb = dst.planes[1] + static_cast<ptrdiff_t>(y / 2) * dst.strides[1];
    uint8_t* cr = dst.planes[2] + static_cast<ptrdiff_t>(y / 2) * dst.strides[2];
    for (int c = 0; c < pairs; ++c) {
      const uint32_t a = row0[2 * c], b = row0[2 * c + 1], d = row1[2 * c], e = row1[2 * c + 1];
      const int32_t r = red(a) + red(b) + red(d) + red(e);
      const int32_t g = green(a) + green(b) + green(d) + green(e);
      const int32_t bl = blue(a) + blue(b) + blue(d) + blue(e);
      cb[c] = chroma<18>(cbR, cbG, cbB, r, g, bl);
      cr[c] = chroma<18>(crR, crG, crB, r, g, bl);
    }
    if (width % 2) {
      // The last column of an odd width pairs with itself.
      const uint32_t a = row0[width - 1], d = row1[width - 1];
      const int32_t r = 2 * (red(a) + red(d)), g = 2 * (green(a) + green(d)), bl = 2 * (blue(a) + blue(d));
      cb[pairs] = chroma<18>(cbR, cbG, cbB, r, g, bl);
      cr[pairs] = chroma<18>(crR, crG, crB, r, g, bl);
    }
  }
}

CONVERSION_CLONES void convertBGRXToYCbCr444(const uint8_t* src, int srcStride, int width, int firstRow, int endRow,
                                             const PlanarPicture& dst) {
  for (int y = firstRow; y < endRow; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(src + static_cast<ptrdiff_t>(y) * srcStride);
    uint8_t* yOut = dst.planes[0] + static_cast<ptrdiff_t>(y) * dst.strides[0];
    uint8_t* cb = dst.planes[1] + static_cast<ptrdiff_t>(y) * dst.strides[1];
    uint8_t* cr = dst.planes[2] + static_cast<ptrdiff_t>(y) * dst.strides[2];
    for (int x = 0; x < width; ++x) {
      const uint32_t p = row[x];
      yOut[x] = luma(p);
      cb[x] = chroma<16>(cbR, cbG, cbB, red(p), green(p), blue(p));
      cr[x] = chroma<16>(crR, crG, crB, red(p), green(p), blue(p));
    }
  }
}

}  // namespace brindlet::platform

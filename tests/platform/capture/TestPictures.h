#pragma once
// Test helper: a picture with sharp coloured shapes, thin lines and a gradient, different
// for each seed, in B,G,R,X bytes.
#include <cstdint>

namespace brindlet::testing {

inline uint32_t testPixel(int x, int y, int seed) {
  x &= ~1;  // every feature is two pixels wide and high, so 4:2:0 can keep its colour
  y &= ~1;
  int block = ((x / 24) + (y / 16) + seed) % 6;
  static const uint32_t colours[6] = {0x00d01010, 0x001060e0, 0x00f8f8f8, 0x0020a040, 0x00303030, 0x00e0c020};
  uint32_t rgb = colours[block];
  if ((x / 2 + seed * 3) % 19 == 0 || (y / 2 + seed) % 15 == 0) rgb = 0x00101010;  // thin lines
  if (block == 2) {                                                                // a gradient inside the white blocks
    uint32_t v = uint32_t(128 + ((x * 3 + y * 2 + seed * 17) % 128));
    rgb = (v << 16) | (v << 8) | (255 - v / 2);
  }
  return rgb;  // 0x00RRGGBB: in memory B, G, R, 0
}

template <typename Buffer>
void fillTestPicture(Buffer& buffer, int seed) {
  for (int y = 0; y < buffer.height(); ++y) {
    auto* row = reinterpret_cast<uint32_t*>(buffer.row(y));
    for (int x = 0; x < buffer.width(); ++x) row[x] = testPixel(x, y, seed);
  }
}

}  // namespace brindlet::testing

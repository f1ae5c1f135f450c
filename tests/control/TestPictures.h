#pragma once
// Small pictures in formats the clipboard offers only as a PNG conversion.
#include <cstdint>

#include "base/Bytes.h"

namespace brindlet::testing {

// A 2x1 BMP, 24 bits: a red and a blue pixel.
inline Bytes tinyBMP() {
  Bytes b;
  auto le = [&b](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  b = {'B', 'M'};
  le(62, 4), le(0, 4), le(54, 4);                      // file size, reserved, pixel offset
  le(40, 4), le(2, 4), le(1, 4), le(1, 2), le(24, 2);  // header size, 2x1, one plane, 24 bits
  le(0, 4), le(8, 4), le(2835, 4), le(2835, 4), le(0, 4), le(0, 4);
  const Bytes pixels = {0, 0, 255, 255, 0, 0, 0, 0};  // B,G,R red; B,G,R blue; row padding
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

}  // namespace brindlet::testing

#include "base/Bytes.h"

namespace brindlet {

std::string toHex(ByteView bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0f]);
  }
  return out;
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace brindlet

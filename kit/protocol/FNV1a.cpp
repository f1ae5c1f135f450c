#include "kit/protocol/FNV1a.h"

namespace brindlet {

std::uint64_t fnv1aHash(ByteView bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (std::uint8_t b : bytes) hash = (hash ^ b) * 0x100000001b3ull;
  return hash;
}

std::uint32_t fnv1aHash32(ByteView bytes) {
  std::uint32_t hash = 0x811c9dc5u;
  for (std::uint8_t b : bytes) hash = (hash ^ b) * 0x01000193u;
  return hash;
}

}  // namespace brindlet

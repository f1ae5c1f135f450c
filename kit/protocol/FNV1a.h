#pragma once

#include <cstdint>

#include "base/Bytes.h"

namespace brindlet {

// 64-bit FNV-1a (offset basis 0xcbf29ce484222325, prime 0x100000001b3): an icon's hash.
std::uint64_t fnv1aHash(ByteView bytes);

// 32-bit FNV-1a (offset basis 0x811c9dc5, prime 0x01000193): a cursor image's shape ID.
std::uint32_t fnv1aHash32(ByteView bytes);

}  // namespace brindlet

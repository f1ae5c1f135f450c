#include "host/capture/CursorShapeRegistry.h"

#include <bit>

namespace brindlet::host {

namespace {

std::uint32_t fnv1a(std::uint32_t hash, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    hash ^= bytes[i];
    hash *= 16777619u;
  }
  return hash;
}

}  // namespace

std::uint32_t CursorShapeRegistry::shapeID(const CursorShapeData& shape) {
  std::uint32_t hash = fnv1a(0x811C9DC5u, shape.png.data(), shape.png.size());
  for (float value : {shape.hotspotX, shape.hotspotY, shape.pointSize}) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const std::uint8_t little[4] = {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                                    static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
    hash = fnv1a(hash, little, 4);
  }
  return hash == 0 ? 1 : hash;
}

CursorShapeRegistry::Registration CursorShapeRegistry::registerShape(const CursorShapeData& shape) {
  Registration result;
  std::uint32_t id = shapeID(shape);
  // Another shape under this ID: the next ID that is free or holds this very shape.
  for (;;) {
    auto it = shapes_.find(id);
    if (it == shapes_.end()) break;
    if (it->second.shape == shape) {
      uses_.splice(uses_.end(), uses_, it->second.use);
      result.id = id;
      return result;
    }
    id = id == UINT32_MAX ? 1 : id + 1;
  }
  while (shapes_.size() >= capacity) {
    const std::uint32_t oldest = uses_.front();
    uses_.pop_front();
    shapes_.erase(oldest);
    result.forgotten.push_back(oldest);
  }
  uses_.push_back(id);
  shapes_.emplace(id, Entry{shape, std::prev(uses_.end())});
  result.id = id;
  return result;
}

const CursorShapeData* CursorShapeRegistry::find(std::uint32_t id) const {
  auto it = shapes_.find(id);
  return it == shapes_.end() ? nullptr : &it->second.shape;
}

}  // namespace brindlet::host

#pragma once

// The cursor images a session has seen, by shape ID. The ID is a hash of the image and its
// geometry, so a shape that comes back gets its ID again; two different shapes whose hashes
// meet get IDs of their own (the later one the next free ID), never each other's picture.
// The registry holds at most `capacity` shapes and forgets the one least recently registered
// first; the IDs it forgets are handed back, so that the session sends them again if they
// return.

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "host/capture/CursorSource.h"

namespace brindlet::host {

class CursorShapeRegistry {
 public:
  static constexpr std::size_t capacity = 64;

  // 32-bit FNV-1a over the PNG bytes, then the bit patterns of hotspotX, hotspotY and
  // pointSize (least significant byte first); 0 becomes 1.
  static std::uint32_t shapeID(const CursorShapeData& shape);

  struct Registration {
    std::uint32_t id = 0;
    std::vector<std::uint32_t> forgotten;  // IDs dropped to make room
  };
  Registration registerShape(const CursorShapeData& shape);
  // Nothing for an ID that is not (or no longer) registered.
  const CursorShapeData* find(std::uint32_t id) const;
  std::size_t size() const { return shapes_.size(); }

 private:
  struct Entry {
    CursorShapeData shape;
    std::list<std::uint32_t>::iterator use;
  };
  std::unordered_map<std::uint32_t, Entry> shapes_;
  std::list<std::uint32_t> uses_;  // least recently registered first
};

}  // namespace brindlet::host

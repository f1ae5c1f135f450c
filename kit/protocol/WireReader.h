#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kit/protocol/DesktopRecords.h"
#include "kit/protocol/MediaRecords.h"
#include "kit/protocol/RawEnum.h"
#include "kit/protocol/WireError.h"
#include "base/Bytes.h"
#include "kit/support/UUID.h"

namespace brindlet {

// Reads the fields of one frame's payload, front to back. It views bytes it does not own:
// the payload must outlive the reader. Every read that needs more bytes than remain throws
// WireError::truncated(); a field outside its domain throws WireError::invalidValue.
class WireReader {
 public:
  explicit WireReader(ByteView payload) : data_(payload) {}

  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return data_.size() - offset_; }
  bool isAtEnd() const { return offset_ >= data_.size(); }

  // Takes the next n bytes.
  ByteView readBytes(std::size_t n);
  std::uint8_t readU8();
  std::uint16_t readU16();
  std::uint32_t readU32();
  std::uint64_t readU64();
  std::int32_t readInt32();
  float readFloat();
  bool readBool();           // "bool N" for a byte other than 0 or 1
  std::string readString();  // "invalid UTF-8" for bytes that are not UTF-8
  Bytes readData();
  UUID readUUID();
  NormalizedRect readRect();
  DisplayFrame readDisplayFrame();
  CodecProfile readCodecProfile();  // "profile N" for a byte outside 0 to 3

  // An enumeration byte; a value outside the enumeration fails with invalidValue, the
  // prefix and the byte in decimal (as in "audio mode 3").
  template <class E>
  E readEnum(const char* prefix) {
    const std::uint8_t raw = readU8();
    if (auto value = fromRaw<E>(raw)) return *value;
    throw WireError::invalidValue(prefix + std::to_string(raw));
  }

  // A menu tree: a u16 count of nodes, each followed by its children. Lists deeper than 5, or
  // a count above the remaining budget (shared by the whole tree), fail with
  // "menu tree too large".
  std::vector<MenuNode> readMenuNodes(int depth, int& budget);

 private:
  ByteView data_;
  std::size_t offset_ = 0;
};

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool isValidUTF8(ByteView bytes);

}  // namespace brindlet

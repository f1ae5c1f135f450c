#include "kit/protocol/WireReader.h"

#include <bit>

namespace brindlet {

bool isValidUTF8(ByteView bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const std::uint8_t b = bytes[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < length) return false;
    if (bytes[i + 1] < lo || bytes[i + 1] > hi) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

ByteView WireReader::readBytes(std::size_t n) {
  if (n > remaining()) throw WireError::truncated();
  ByteView taken = data_.subspan(offset_, n);
  offset_ += n;
  return taken;
}

std::uint8_t WireReader::readU8() { return readBytes(1)[0]; }

std::uint16_t WireReader::readU16() {
  ByteView b = readBytes(2);
  return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

std::uint32_t WireReader::readU32() {
  ByteView b = readBytes(4);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

std::uint64_t WireReader::readU64() {
  const std::uint64_t high = readU32();
  return (high << 32) | readU32();
}

std::int32_t WireReader::readInt32() { return static_cast<std::int32_t>(readU32()); }

float WireReader::readFloat() { return std::bit_cast<float>(readU32()); }

bool WireReader::readBool() {
  const std::uint8_t b = readU8();
  if (b > 1) throw WireError::invalidValue("bool " + std::to_string(b));
  return b == 1;
}

std::string WireReader::readString() {
  const std::uint16_t count = readU16();
  ByteView b = readBytes(count);
  if (!isValidUTF8(b)) throw WireError::invalidValue("invalid UTF-8");
  return std::string(b.begin(), b.end());
}

Bytes WireReader::readData() {
  const std::uint32_t count = readU32();
  ByteView b = readBytes(count);
  return Bytes(b.begin(), b.end());
}

UUID WireReader::readUUID() {
  ByteView b = readBytes(16);
  UUID id;
  std::copy(b.begin(), b.end(), id.bytes.begin());
  return id;
}

NormalizedRect WireReader::readRect() {
  NormalizedRect r;
  r.x = readFloat();
  r.y = readFloat();
  r.width = readFloat();
  r.height = readFloat();
  return r;
}

DisplayFrame WireReader::readDisplayFrame() {
  const NormalizedRect r = readRect();
  return DisplayFrame{r.x, r.y, r.width, r.height};
}

CodecProfile WireReader::readCodecProfile() { return readEnum<CodecProfile>("profile "); }

std::vector<MenuNode> WireReader::readMenuNodes(int depth, int& budget) {
  const std::uint16_t count = readU16();
  if (depth > 5 || count > budget) throw WireError::invalidValue("menu tree too large");
  std::vector<MenuNode> nodes;
  nodes.reserve(std::min<std::size_t>(count, remaining()));
  for (std::uint16_t i = 0; i < count; ++i) {
    budget -= 1;
    MenuNode node;
    node.title = readString();
    node.key = readString();
    node.modifiers = readU8();
    node.enabled = readBool();
    node.mark = fromRaw<MenuMark>(readU8()).value_or(MenuMark::none);
    node.separatorBefore = readBool();
    node.children = readMenuNodes(depth + 1, budget);
    nodes.push_back(std::move(node));
  }
  return nodes;
}

}  // namespace brindlet

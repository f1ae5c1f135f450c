#pragma once

// Frames of the wire protocol: a u32 big-endian payload length, then the payload, whose
// first byte is its type (0x01 to 0x3E a message, 0x80 a video frame, 0x81 an audio packet).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/Bytes.h"
#include "kit/protocol/Message.h"
#include "kit/protocol/WireReader.h"

namespace brindlet {

struct WireCodec {
  WireCodec() = delete;

  // The largest payload a reader accepts (64 MiB), and so the largest the writers build.
  static constexpr std::uint32_t maxFrameSize = 67108864;
  static constexpr std::uint8_t videoFrameType = 0x80;
  static constexpr std::uint8_t audioPacketType = 0x81;

  // The payload behind its u32 length. A payload over maxFrameSize throws
  // WireError::frameTooLarge with its length.
  static Bytes frame(ByteView payload);

  // Whole frames. Over-long texts, blobs and lists are clamped; a frame whose payload would
  // still be over maxFrameSize, which no reader accepts, is not built: WireError::frameTooLarge
  // with the payload's length (`into` is left as it was).
  static Bytes encode(const Message& message);
  // Appends the message's whole frame to `into` (several frames can share one buffer).
  static void encode(const Message& message, Bytes& into);
  static Bytes encodeVideoFrame(const VideoFrame& frame);
  static Bytes encodeAudioPacket(const AudioPacket& packet);

  // The message of the given type byte from the body that follows it.
  static Message decodeBody(std::uint8_t type, WireReader& from);
  // A video frame or audio packet from the bytes after its type byte.
  static VideoFrame decodeVideoFrame(WireReader& from);
  static AudioPacket decodeAudioPacket(WireReader& from);
  // A video frame's fields before its payload (left empty) from the bytes after its type
  // byte, and the length the payload announces: the payload itself may not have arrived yet.
  static VideoFrame decodeVideoFrameHead(WireReader& from, std::uint32_t& payloadLength);

  // Field writers, appending to `into`.
  static void writeU8(std::uint8_t value, Bytes& into) { into.push_back(value); }
  static void writeU16(std::uint16_t value, Bytes& into);
  static void writeU32(std::uint32_t value, Bytes& into);
  static void writeU64(std::uint64_t value, Bytes& into);
  static void writeInt32(std::int32_t value, Bytes& into);
  static void writeFloat(float value, Bytes& into);
  static void writeBool(bool value, Bytes& into) { into.push_back(value ? 1 : 0); }
  // A u16 byte count and the UTF-8 bytes; a text over 65,535 bytes is cut on a scalar boundary.
  static void writeString(std::string_view value, Bytes& into);
  // A u32 byte count and the bytes; only the first 4,294,967,295 bytes of a longer blob.
  static void writeData(ByteView value, Bytes& into);
  static void writeUUID(const UUID& value, Bytes& into);
  static void writeRect(const NormalizedRect& value, Bytes& into);
  static void writeRect(const DisplayFrame& value, Bytes& into);

  // A menu tree, drawing every list of the tree on one budget of nodes. What it writes always
  // decodes with WireReader::readMenuNodes given the same depth and budget: it never writes
  // more nodes than the budget, and cuts the children of nodes at depth 4 or deeper.
  static void writeMenuNodes(std::span<const MenuNode> nodes, int depth, int& budget, Bytes& into);

  // The byte count writeString sends for a text (its UTF-8 length, cut as writeString cuts).
  static std::size_t clampedStringLength(std::string_view value);
};

}  // namespace brindlet

#include "kit/protocol/WireDecoder.h"

#include "kit/protocol/WireCodec.h"
#include "kit/protocol/WireReader.h"

namespace brindlet {

namespace {

// Keep a large buffer's memory after it empties only up to this size.
constexpr std::size_t retainedCapacity = 8 * 1024 * 1024;

// A media record whose payload must start with its own type byte.
template <class T>
T readRecord(ByteView payload, std::uint8_t ownType, T (*decode)(WireReader&)) {
  WireReader reader(payload);
  const std::uint8_t type = reader.readU8();
  if (type != ownType) throw WireError::unknownType(type);
  return decode(reader);
}

}  // namespace

void WireDecoder::append(ByteView chunk) {
  // A poisoned stream is never read again: holding its bytes would only use memory.
  if (poisoned_) return;
  buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
}

template <class T, class F>
std::optional<T> WireDecoder::withNextPayload(F&& decode) {
  if (poisoned_) throw *poisoned_;
  const std::size_t available = buffer_.size() - offset_;
  if (available < 4) return std::nullopt;
  const std::uint8_t* header = buffer_.data() + offset_;
  const std::uint32_t length =
      (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) | (std::uint32_t{header[2]} << 8) | header[3];
  if (length > WireCodec::maxFrameSize) {
    poisoned_ = WireError::frameTooLarge(length);
    buffer_ = Bytes();
    offset_ = 0;
    throw *poisoned_;
  }
  if (available - 4 < length) return std::nullopt;
  if (length == 0) {
    consume(0);
    throw WireError::truncated();
  }
  const ByteView payload(buffer_.data() + offset_ + 4, length);
  struct ConsumeOnExit {
    WireDecoder& decoder;
    std::size_t length;
    ~ConsumeOnExit() { decoder.consume(length); }
  } consumeOnExit{*this, length};
  return decode(payload);
}

void WireDecoder::consume(std::size_t frameLength) {
  offset_ += 4 + frameLength;
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
    if (buffer_.capacity() > retainedCapacity) buffer_.shrink_to_fit();
  } else if (offset_ > 65536 && offset_ > buffer_.size() / 2) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
    offset_ = 0;
  }
}

std::optional<Bytes> WireDecoder::nextFrame() {
  return withNextPayload<Bytes>([](ByteView payload) { return Bytes(payload.begin(), payload.end()); });
}

std::optional<Message> WireDecoder::nextMessage() {
  return withNextPayload<Message>([](ByteView payload) {
    WireReader reader(payload);
    const std::uint8_t type = reader.readU8();
    return WireCodec::decodeBody(type, reader);
  });
}

std::optional<VideoFrame> WireDecoder::nextVideoFrame() {
  return withNextPayload<VideoFrame>(
      [](ByteView payload) { return readRecord(payload, WireCodec::videoFrameType, WireCodec::decodeVideoFrame); });
}

std::optional<AudioPacket> WireDecoder::nextAudioPacket() {
  return withNextPayload<AudioPacket>(
      [](ByteView payload) { return readRecord(payload, WireCodec::audioPacketType, WireCodec::decodeAudioPacket); });
}

}  // namespace brindlet

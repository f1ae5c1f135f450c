#include "kit/protocol/WireDecoder.h"

#include <algorithm>

#include "kit/protocol/WireCodec.h"
#include "kit/protocol/WireReader.h"

namespace brindlet {

namespace {

// Keep a large buffer's memory after it empties only up to this size.
constexpr std::size_t retainedCapacity = 8 * 1024 * 1024;

// Video frames from this size on are received straight into their payload.
constexpr std::uint32_t largeFrameSize = 64 * 1024;

// The big-endian length that heads a frame.
std::uint32_t lengthAt(const std::uint8_t* header) {
  return (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) | (std::uint32_t{header[2]} << 8) |
         header[3];
}

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
  if (large_ && large_->missing > 0) {
    const std::size_t n = std::min(large_->missing, chunk.size());
    large_->frame.payload.insert(large_->frame.payload.end(), chunk.begin(), chunk.begin() + n);
    large_->received += n;
    large_->missing -= n;
    chunk = chunk.subspan(n);
  }
  buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
}

void WireDecoder::startLargeFrame(std::uint32_t length) {
  // Only the frame's own bytes are buffered (it is incomplete), from its header at offset_.
  const ByteView body(buffer_.data() + offset_ + 4, buffer_.size() - offset_ - 4);
  VideoFrame frame;
  std::uint32_t payloadLength = 0;
  WireReader reader(body);
  try {
    if (reader.readU8() != WireCodec::videoFrameType) return;
    frame = WireCodec::decodeVideoFrameHead(reader, payloadLength);
  } catch (const WireError&) {
    return;  // not all here yet, or not valid: the whole frame decides when it has come
  }
  const std::size_t head = body.size() - reader.remaining();
  // Only a frame that ends with its payload; anything else is read whole, as usual.
  if (head + payloadLength != length) return;
  frame.payload.reserve(payloadLength);
  frame.payload.assign(body.begin() + static_cast<std::ptrdiff_t>(head), body.end());
  const std::size_t received = 4 + body.size();
  large_ = LargeFrame{std::move(frame), received, 4 + std::size_t{length} - received};
  // Everything buffered was this frame's: the buffer is empty again.
  buffer_.clear();
  offset_ = 0;
  if (buffer_.capacity() > retainedCapacity) buffer_.shrink_to_fit();
}

template <class T, class F>
std::optional<T> WireDecoder::withNextPayload(F&& decode) {
  if (poisoned_) throw *poisoned_;
  if (large_) {
    // A video frame is on its way: not this reader's.
    if (large_->missing > 0) return std::nullopt;
    large_.reset();
    throw WireError::unknownType(WireCodec::videoFrameType);
  }
  const std::size_t available = buffer_.size() - offset_;
  if (available < 4) return std::nullopt;
  const std::uint32_t length = lengthAt(buffer_.data() + offset_);
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
  if (poisoned_) throw *poisoned_;
  if (large_) {
    if (large_->missing > 0) return std::nullopt;
    VideoFrame frame = std::move(large_->frame);
    large_.reset();
    return frame;
  }
  const std::size_t available = buffer_.size() - offset_;
  if (available >= 4) {
    const std::uint32_t length = lengthAt(buffer_.data() + offset_);
    if (length >= largeFrameSize && length <= WireCodec::maxFrameSize && available - 4 < length) {
      startLargeFrame(length);
      if (large_) return std::nullopt;
    }
  }
  return withNextPayload<VideoFrame>(
      [](ByteView payload) { return readRecord(payload, WireCodec::videoFrameType, WireCodec::decodeVideoFrame); });
}

std::optional<AudioPacket> WireDecoder::nextAudioPacket() {
  return withNextPayload<AudioPacket>(
      [](ByteView payload) { return readRecord(payload, WireCodec::audioPacketType, WireCodec::decodeAudioPacket); });
}

}  // namespace brindlet

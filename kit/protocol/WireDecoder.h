#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/Bytes.h"
#include "kit/protocol/Message.h"
#include "kit/protocol/WireError.h"

namespace brindlet {

// Cuts the frames out of the bytes received on one stream and decodes them. One decoder per
// incoming stream, owned by that stream's receive loop (not shared, no lock).
//
//   decoder.append(chunk);
//   while (auto message = decoder.nextMessage()) handle(*message);   // may throw WireError
//
// Each next... call returns nothing until a whole frame has arrived. A frame header that
// declares more than WireCodec::maxFrameSize poisons the decoder: that call and every later
// one throw the same frameTooLarge error, and later appends are dropped. Any other error
// (truncated, invalidValue, unknownType) consumes the bad frame and leaves the decoder
// usable, so the next call reads the following frame.
//
// Consumed bytes are dropped when everything buffered has been read, or when more than
// 64 KiB of them make up more than half of the buffer; frames are decoded in place, so a
// stream of small frames costs no copying per frame. A large video frame is copied once: as
// soon as nextVideoFrame sees its fields before the payload, the rest of its payload is
// appended straight into the frame it will return.
class WireDecoder {
 public:
  WireDecoder() = default;

  // Adds received bytes at the end of the buffer.
  void append(ByteView chunk);

  // The next complete payload (its own copy), or nothing.
  std::optional<Bytes> nextFrame();
  // The next message, video frame or audio packet, or nothing. A frame whose type byte is
  // not the reader's own (0x80 video, 0x81 audio, a message type) fails with unknownType.
  std::optional<Message> nextMessage();
  std::optional<VideoFrame> nextVideoFrame();
  std::optional<AudioPacket> nextAudioPacket();

  const Bytes& buffer() const { return buffer_; }
  std::size_t offset() const { return offset_; }
  const std::optional<WireError>& poisoned() const { return poisoned_; }
  // Bytes received and not yet consumed.
  std::size_t bufferedByteCount() const { return buffer_.size() - offset_ + (large_ ? large_->received : 0); }

 private:
  // Finds the next complete frame, hands its payload (a view into the buffer) to `decode`,
  // then consumes the frame whatever `decode` did.
  template <class T, class F>
  std::optional<T> withNextPayload(F&& decode);
  void consume(std::size_t frameLength);
  // Starts receiving the incomplete video frame at the front of the buffer into large_ when
  // it is large and its fields before the payload are all here.
  void startLargeFrame(std::uint32_t length);

  // A large video frame being received: its fields and the part of its payload here so far,
  // the bytes of the frame received (from its length header on) and those still to come.
  struct LargeFrame {
    VideoFrame frame;
    std::size_t received = 0;
    std::size_t missing = 0;
  };
  std::optional<LargeFrame> large_;
  Bytes buffer_;
  std::size_t offset_ = 0;
  std::optional<WireError> poisoned_;
};

}  // namespace brindlet

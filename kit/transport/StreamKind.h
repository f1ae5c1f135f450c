#pragma once

// The five transport streams of a connection, each opened by its one-byte kind.
//
//   StreamKind kind = streamKind(message.channel());     // control, input or transfer
//   auto parsed = fromRaw<StreamKind>(preambleByte);      // nothing outside 1 to 5

#include "kit/protocol/Channel.h"
#include "kit/protocol/RawEnum.h"

#include <array>
#include <cstdint>

namespace brindlet {

enum class StreamKind : std::uint8_t { control = 1, input = 2, video = 3, audio = 4, transfer = 5 };

template <>
struct RawRange<StreamKind> {
  static constexpr std::uint8_t first = 1, last = 5;
};

// Every kind, in the order streams are always enumerated.
inline constexpr std::array<StreamKind, 5> allStreamKinds{StreamKind::control, StreamKind::input, StreamKind::video,
                                                          StreamKind::audio, StreamKind::transfer};

// The stream a channel's traffic travels on (one to one).
constexpr StreamKind streamKind(Channel channel) {
  switch (channel) {
    case Channel::control:
      return StreamKind::control;
    case Channel::input:
      return StreamKind::input;
    case Channel::video:
      return StreamKind::video;
    case Channel::audio:
      return StreamKind::audio;
    case Channel::transfer:
      return StreamKind::transfer;
  }
  return StreamKind::control;
}

}  // namespace brindlet

// The frames of one incoming stream: the input is cut into chunks as the network would
// deliver them, and every kind of reader takes what it can from them.
#include <cstddef>
#include <cstdint>

#include "kit/protocol/WireCodec.h"
#include "kit/protocol/WireDecoder.h"

namespace {

template <class Next>
void drain(brindlet::WireDecoder& decoder, Next next) {
  for (int i = 0; i < 10000; ++i) {
    try {
      if (!next(decoder)) return;
    } catch (const brindlet::WireError&) {
      if (decoder.poisoned()) return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the reader and the chunk size.
  const std::uint8_t control = data[0];
  const std::size_t chunk = 1 + (control >> 2);
  brindlet::WireDecoder decoder;
  for (std::size_t at = 1; at < size; at += chunk) {
    std::size_t n = std::min(chunk, size - at);
    decoder.append(brindlet::ByteView(data + at, n));
    switch (control & 3) {
      case 0:
        drain(decoder, [](brindlet::WireDecoder& d) {
          auto message = d.nextMessage();
          // What decodes encodes again.
          if (message) (void)brindlet::WireCodec::encode(*message);
          return message.has_value();
        });
        break;
      case 1:
        drain(decoder, [](brindlet::WireDecoder& d) { return d.nextVideoFrame().has_value(); });
        break;
      case 2:
        drain(decoder, [](brindlet::WireDecoder& d) { return d.nextAudioPacket().has_value(); });
        break;
      default:
        drain(decoder, [](brindlet::WireDecoder& d) { return d.nextFrame().has_value(); });
        break;
    }
  }
  return 0;
}

#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/Bytes.h"
#include "kit/protocol/MediaRecords.h"

namespace brindlet::host {

// What an audio stream is, as announced to the device.
struct AudioStreamConfig {
  std::uint32_t sampleRate = 0;
  std::uint8_t channels = 0;
  AudioCodec codec = AudioCodec::aacELD;
  Bytes magicCookie;

  bool operator==(const AudioStreamConfig&) const = default;
};

// Encodes interleaved float samples into packets.
class AudioEncoding {
 public:
  virtual ~AudioEncoding() = default;

  virtual const AudioStreamConfig& config() const = 0;
  // Frames of the stream's rate in each packet.
  virtual int framesPerPacket() const = 0;
  // One entry per block of framesPerPacket() frames consumed, in order: its packet, or an
  // empty entry for a block that could not be encoded (its time still passes).
  virtual std::vector<Bytes> encode(const std::vector<float>& samples) = 0;
};

class AudioEncoderFactory {
 public:
  virtual ~AudioEncoderFactory() = default;

  // Throws when no encoder can be made for that format.
  virtual std::unique_ptr<AudioEncoding> makeEncoder(int channels, double sampleRate) const = 0;
};

}  // namespace brindlet::host

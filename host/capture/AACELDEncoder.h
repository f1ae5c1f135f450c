#pragma once

// The AAC-ELD encoder of the audio stream: 48 kHz stereo, 512-frame packets, 128 kbit/s.
// Input of another rate or channel count is resampled and remixed to that first.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/capture/AudioEncoderFactory.h"

namespace brindlet::platform {
class ELDEncoder;
class Resampler;
}  // namespace brindlet::platform

namespace brindlet::host {

// Why an encoder could not be made.
class AACELDError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  // "3 channels at 48000.0 Hz"
  static AACELDError unsupportedInput(int channels, double sampleRate);
};

class AACELDEncoder final : public AudioEncoding {
 public:
  static constexpr std::uint32_t bitRate = 128'000;

  // Throws AACELDError.
  AACELDEncoder(int channels, double sampleRate);
  ~AACELDEncoder() override;

  const AudioStreamConfig& config() const override { return config_; }
  int framesPerPacket() const override;
  std::vector<Bytes> encode(const std::vector<float>& samples) override;

  bool resamples() const { return resampler_ != nullptr; }
  // Floats waiting for a whole block.
  std::size_t pendingCount() const { return pending_.size(); }

 private:
  AudioStreamConfig config_;
  int inputChannels_;
  std::unique_ptr<platform::Resampler> resampler_;
  std::unique_ptr<platform::ELDEncoder> converter_;
  std::vector<float> pending_;
};

class AACELDEncoderFactory final : public AudioEncoderFactory {
 public:
  std::unique_ptr<AudioEncoding> makeEncoder(int channels, double sampleRate) const override {
    return std::make_unique<AACELDEncoder>(channels, sampleRate);
  }
};

}  // namespace brindlet::host

#pragma once

// An MPEG-4 ER AAC ELD encoder for 48 kHz stereo: 512-sample frames, the low-delay filter bank,
// no low-delay SBR and no error-resilience tools. Each call turns 512 interleaved stereo frames
// into one access unit; a rate loop keeps the stream at its bit rate on average.

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

#include "base/Bytes.h"

namespace brindlet::platform {

class ELDEncoder {
 public:
  static constexpr int frameLength = 512;
  static constexpr int sampleRate = 48000;
  static constexpr int channels = 2;

  explicit ELDEncoder(int bitRate = 128'000);

  // The AudioSpecificConfig with its ELDSpecificConfig: what a decoder needs before the first
  // access unit.
  static Bytes audioSpecificConfig();

  // `frames` holds frameLength interleaved stereo frames, full scale +-1. Returns one access unit.
  Bytes encode(const float* frames);

  // The largest access unit this encoder writes, in bytes.
  static constexpr int maxAccessUnitSize = 6144 / 8 * channels;

 private:
  struct Channel {
    std::vector<float> history;  // the newest input samples the analysis window covers
    std::array<float, frameLength> spectrum{};
    std::array<float, frameLength> compressed{};  // |spectrum|^(3/4), signed
    std::array<int, frameLength> quantized{};
  };

  void analyse(Channel& channel);
  void fft(std::vector<std::complex<float>>& z) const;

  int bitsPerFrame_;
  int reservoir_ = 0;  // bits saved by earlier frames, spent by later ones
  int lastScale_ = 140;
  std::vector<float> analysisWindow_;
  std::vector<std::complex<float>> preTwiddle_, postTwiddle_, fftTwiddle_, fftBuffer_;
  std::vector<int> bitReversed_;
  std::array<Channel, channels> channels_;
};

}  // namespace brindlet::platform

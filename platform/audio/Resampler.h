#pragma once

// Conversion of interleaved Float32 audio of any rate and one or two channels to 48 kHz stereo,
// with the filter's state carried from one call to the next (libswresample).

#include <memory>
#include <vector>

namespace brindlet::platform {

class Resampler {
 public:
  // Throws std::runtime_error when the conversion cannot be set up.
  Resampler(int channels, double sampleRate);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // `frames` frames of interleaved input; returns the 48 kHz stereo frames ready so far.
  std::vector<float> convert(const float* samples, int frames);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace brindlet::platform

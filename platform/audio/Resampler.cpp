#include "platform/audio/Resampler.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace brindlet::platform {

struct Resampler::State {
  SwrContext* context = nullptr;
  int inputRate = 0;
  ~State() { swr_free(&context); }
};

Resampler::Resampler(int channels, double sampleRate) : state_(std::make_unique<State>()) {
  state_->inputRate = static_cast<int>(std::lround(sampleRate));
  AVChannelLayout input{};
  AVChannelLayout output{};
  av_channel_layout_default(&input, channels);
  av_channel_layout_default(&output, 2);
  int status = swr_alloc_set_opts2(&state_->context, &output, AV_SAMPLE_FMT_FLT, 48000, &input, AV_SAMPLE_FMT_FLT,
                                   state_->inputRate, 0, nullptr);
  if (status < 0) throw std::runtime_error("PCM format");
  // Mono plays at full level on both sides (the default mix would lower it by 3 dB).
  if (channels == 1) {
    const double both[2] = {1.0, 1.0};
    if (swr_set_matrix(state_->context, both, 1) < 0) throw std::runtime_error("PCM format");
  }
  if (swr_init(state_->context) < 0) throw std::runtime_error("PCM format");
}

Resampler::~Resampler() = default;

std::vector<float> Resampler::convert(const float* samples, int frames) {
  if (frames <= 0) return {};
  int capacity = swr_get_out_samples(state_->context, frames);
  if (capacity <= 0) return {};
  std::vector<float> out(static_cast<std::size_t>(capacity) * 2);
  auto* outPlane = reinterpret_cast<std::uint8_t*>(out.data());
  const auto* inPlane = reinterpret_cast<const std::uint8_t*>(samples);
  int produced = swr_convert(state_->context, &outPlane, capacity, &inPlane, frames);
  if (produced <= 0) return {};
  out.resize(static_cast<std::size_t>(produced) * 2);
  return out;
}

}  // namespace brindlet::platform

#include "host/capture/AACELDEncoder.h"

#include <cmath>
#include <cstdio>

#include "platform/audio/ELDEncoder.h"
#include "platform/audio/Resampler.h"

namespace brindlet::host {

namespace {

constexpr int blockFloats = platform::ELDEncoder::frameLength * platform::ELDEncoder::channels;

// A rate as a floating-point number: 44100.0, 22050.5.
std::string rateText(double rate) {
  char text[64];
  if (std::isfinite(rate) && rate == std::floor(rate) && std::fabs(rate) < 1e15) {
    std::snprintf(text, sizeof text, "%.1f", rate);
  } else {
    std::snprintf(text, sizeof text, "%.17g", rate);
  }
  return text;
}

}  // namespace

AACELDError AACELDError::unsupportedInput(int channels, double sampleRate) {
  return AACELDError(std::to_string(channels) + " channels at " + rateText(sampleRate) + " Hz");
}

AACELDEncoder::AACELDEncoder(int channels, double sampleRate) : inputChannels_(channels) {
  if ((channels != 1 && channels != 2) || !(sampleRate >= 8000)) {
    throw AACELDError::unsupportedInput(channels, sampleRate);
  }
  if (!(channels == 2 && sampleRate == platform::ELDEncoder::sampleRate)) {
    try {
      resampler_ = std::make_unique<platform::Resampler>(channels, sampleRate);
    } catch (const std::exception&) {
      throw AACELDError("PCM format");
    }
  }
  converter_ = std::make_unique<platform::ELDEncoder>(static_cast<int>(bitRate));
  config_ = {platform::ELDEncoder::sampleRate, platform::ELDEncoder::channels, AudioCodec::aacELD,
             platform::ELDEncoder::audioSpecificConfig()};
}

AACELDEncoder::~AACELDEncoder() = default;

int AACELDEncoder::framesPerPacket() const { return platform::ELDEncoder::frameLength; }

std::vector<Bytes> AACELDEncoder::encode(const std::vector<float>& samples) {
  if (samples.empty()) return {};
  if (resampler_) {
    int frames = static_cast<int>(samples.size()) / inputChannels_;
    if (frames < 1) return {};
    auto converted = resampler_->convert(samples.data(), frames);
    pending_.insert(pending_.end(), converted.begin(), converted.end());
  } else {
    pending_.insert(pending_.end(), samples.begin(), samples.end());
  }
  std::vector<Bytes> packets;
  std::size_t used = 0;
  while (pending_.size() - used >= blockFloats) {
    packets.push_back(converter_->encode(pending_.data() + used));
    used += blockFloats;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
  return packets;
}

}  // namespace brindlet::host

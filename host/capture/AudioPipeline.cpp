#include "host/capture/AudioPipeline.h"

#include <cmath>

namespace brindlet::host {

AudioPipeline::AudioPipeline(AudioMode mode, std::shared_ptr<AudioCapturing> capture,
                             std::shared_ptr<AudioEncoderFactory> encoders, AudioSink sink)
    : mode_(mode), capture_(std::move(capture)), encoders_(std::move(encoders)), sink_(std::move(sink)) {}

void AudioPipeline::start() {
  std::weak_ptr<AudioPipeline> weak = weak_from_this();
  auto format = capture_->start(mode_ == AudioMode::phoneOnly,
                                [weak](const std::vector<float>& samples, std::uint64_t timeMicros) {
                                  if (auto self = weak.lock()) self->onBatch(samples, timeMicros);
                                });
  std::unique_ptr<AudioEncoding> encoder;
  try {
    encoder = encoders_->makeEncoder(format.channels, format.sampleRate);
  } catch (const std::exception& error) {
    capture_->stop();
    throw AudioCaptureError::failed(std::string("Audio encoder: ") + error.what());
  }
  AudioStreamConfig config = encoder->config();
  {
    std::lock_guard lock(mutex_);
    inputChannels_ = format.channels;
    inputRate_ = format.sampleRate;
    encoder_ = std::move(encoder);
  }
  if (sink_.config) sink_.config(config);
}

void AudioPipeline::stop() {
  capture_->stop();
  std::lock_guard lock(mutex_);
  encoder_.reset();
}

AudioPipeline::Stats AudioPipeline::stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

void AudioPipeline::onBatch(const std::vector<float>& samples, std::uint64_t timeMicros) {
  std::lock_guard lock(mutex_);
  if (!encoder_) return;
  const std::uint64_t rate = encoder_->config().sampleRate;
  if (!anchorMicros_) {
    anchorMicros_ = timeMicros;
  } else {
    // Where this batch should start if nothing was lost; a later time means the capture
    // dropped frames, whose span the packets from here on move by.
    double expected = static_cast<double>(*anchorMicros_) + static_cast<double>(inputFrames_) * 1e6 / inputRate_;
    double lostInputFrames = std::floor((static_cast<double>(timeMicros) - expected) * inputRate_ / 1e6 + 0.5);
    if (lostInputFrames >= 1) {
      inputFrames_ += static_cast<std::uint64_t>(lostInputFrames);
      lostStreamFrames_ +=
          static_cast<std::uint64_t>(std::llround(lostInputFrames * static_cast<double>(rate) / inputRate_));
    }
  }
  inputFrames_ += samples.size() / static_cast<std::size_t>(inputChannels_);

  const auto blockFrames = static_cast<std::uint64_t>(encoder_->framesPerPacket());
  for (auto& data : encoder_->encode(samples)) {
    // Every consumed block advances the time line, whether or not it gave a packet.
    std::uint64_t frames = stats_.packets * blockFrames + lostStreamFrames_;
    std::uint64_t pts = *anchorMicros_ + frames * 1'000'000 / rate;
    ++stats_.packets;
    if (data.empty()) continue;
    AudioPacket packet{pts, std::move(data)};
    if (sink_.packet && sink_.packet(packet)) {
      ++stats_.sent;
    } else {
      ++stats_.dropped;
    }
  }
}

}  // namespace brindlet::host

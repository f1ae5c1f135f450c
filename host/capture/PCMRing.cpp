#include "host/capture/PCMRing.h"

#include <algorithm>

namespace brindlet::host {

PCMRing::PCMRing(int channels, int capacity)
    : channels_(channels), capacity_(capacity), storage_(static_cast<std::size_t>(channels) * capacity, 0.f) {}

void PCMRing::setSampleRate(double rate) {
  std::lock_guard lock(mutex_);
  sampleRate_ = rate;
}

void PCMRing::write(const float* samples, std::size_t frames, int bufferChannels, std::uint64_t hostTimeNs) {
  if (frames == 0 || bufferChannels != channels_ || capacity_ <= 0) return;
  std::lock_guard lock(mutex_);
  if (!anchorNs_) anchorNs_ = hostTimeNs;
  const auto n = static_cast<int>(std::min<std::size_t>(frames, static_cast<std::size_t>(capacity_)));
  const std::size_t skip = frames - static_cast<std::size_t>(n);
  framesRead_ += skip;
  if (count_ + n > capacity_) {
    int excess = count_ + n - capacity_;
    head_ = (head_ + excess) % capacity_;
    count_ -= excess;
    framesRead_ += static_cast<std::uint64_t>(excess);
  }
  for (int i = 0; i < n; ++i) {
    int frame = (head_ + count_ + i) % capacity_;
    const float* from = samples + (skip + static_cast<std::size_t>(i)) * static_cast<std::size_t>(channels_);
    std::copy(from, from + channels_, storage_.begin() + static_cast<std::ptrdiff_t>(frame) * channels_);
  }
  count_ += n;
}

std::optional<std::pair<std::vector<float>, std::uint64_t>> PCMRing::drain() {
  std::lock_guard lock(mutex_);
  if (count_ < 1 || !anchorNs_) return std::nullopt;
  std::vector<float> out(static_cast<std::size_t>(count_) * channels_);
  for (int i = 0; i < count_; ++i) {
    int frame = (head_ + i) % capacity_;
    std::copy_n(storage_.begin() + static_cast<std::ptrdiff_t>(frame) * channels_, channels_,
                out.begin() + static_cast<std::ptrdiff_t>(i) * channels_);
  }
  auto timeNs = *anchorNs_ + static_cast<std::uint64_t>(static_cast<double>(framesRead_) / sampleRate_ * 1e9);
  framesRead_ += static_cast<std::uint64_t>(count_);
  head_ = (head_ + count_) % capacity_;
  count_ = 0;
  return std::make_pair(std::move(out), timeNs);
}

}  // namespace brindlet::host

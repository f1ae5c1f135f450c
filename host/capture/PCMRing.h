#pragma once

// The one-second hand-over of captured audio between the sound server's thread, which writes,
// and the 10 ms drain, which reads. Its time line counts samples from the first write's time:
// frames the drain never saw (overwritten, or skipped because one write brought more than the
// ring holds) are counted as read, so a drained time jumps forward by exactly what was lost.

#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace brindlet::host {

class PCMRing {
 public:
  PCMRing(int channels, int capacity);

  void setSampleRate(double rate);
  int channels() const { return channels_; }
  int capacity() const { return capacity_; }

  // Writes `frames` interleaved frames of `bufferChannels` channels whose first was recorded
  // at `hostTimeNs`; a buffer whose channel count differs from the ring's is dropped.
  void write(const float* samples, std::size_t frames, int bufferChannels, std::uint64_t hostTimeNs);

  // Every buffered frame, oldest first, and the time of the first in ns; nothing when empty.
  std::optional<std::pair<std::vector<float>, std::uint64_t>> drain();

 private:
  const int channels_;
  const int capacity_;
  std::vector<float> storage_;
  std::mutex mutex_;
  int head_ = 0;
  int count_ = 0;
  std::optional<std::uint64_t> anchorNs_;
  std::uint64_t framesRead_ = 0;
  double sampleRate_ = 48000;
};

}  // namespace brindlet::host

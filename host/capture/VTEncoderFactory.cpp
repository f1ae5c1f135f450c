#include "host/capture/VTEncoderFactory.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "platform/video/MediaClock.h"

namespace brindlet::host {

void drawTestPattern(platform::PixelBuffer& buffer, int n) {
  for (int y = 0; y < buffer.height(); ++y) {
    uint8_t* row = buffer.row(y);
    const int k = (y + 3 * n) / 6;
    for (int x = 0; x < buffer.width(); ++x) {
      uint8_t r = 248, g = 248, b = 248;
      if ((k + x / 2) % 3 == 0) {
        r = static_cast<uint8_t>(208 + k % 40);
        g = 16;
        b = 16;
      } else if ((k + x / 7) % 5 == 0) {
        r = 16;
        g = 96;
        b = 224;
      }
      row[x * 4 + 0] = b;
      row[x * 4 + 1] = g;
      row[x * 4 + 2] = r;
      row[x * 4 + 3] = 255;
    }
  }
}

std::shared_ptr<VideoEncoder> VTEncoderFactory::makeEncoder(CodecProfile profile, int64_t bitrate,
                                                            EncoderOutputHandler output) const {
  return HEVCEncoder::make(profile, bitrate, std::move(output), maker_);
}

VTEncoderFactory VTEncoderFactory::probe(const std::vector<CodecProfile>& candidates,
                                         platform::CompressionSessionMaker maker) {
  std::vector<CodecProfile> supported;
  for (CodecProfile candidate : candidates) {
    auto buffer = std::make_shared<platform::PixelBuffer>(320, 192);
    drawTestPattern(*buffer, 1);
    // Only the first output counts.
    struct ProbeResult {
      std::mutex lock;
      std::condition_variable signal;
      std::optional<bool> ok;
    };
    auto result = std::make_shared<ProbeResult>();
    auto encoder = HEVCEncoder::make(
        candidate, 4'000'000,
        [result, candidate](const EncoderOutput& out) {
          std::lock_guard guard(result->lock);
          if (result->ok) return;
          if (auto* f = std::get_if<EncoderOutput::Frame>(&out.value)) {
            result->ok = f->frame.profile == candidate && f->frame.isKeyframe && !f->frame.parameterSets.empty();
          } else {
            result->ok = false;
          }
          result->signal.notify_all();
        },
        maker);
    encoder->encode(CapturedFrame{buffer, 0, NormalizedRect::full, platform::monotonicRawNowNs()}, false, false);
    bool ok = false;
    {
      std::unique_lock guard(result->lock);
      result->signal.wait_for(guard, std::chrono::seconds(3), [&] { return result->ok.has_value(); });
      ok = result->ok.value_or(false);
    }
    encoder->invalidate();
    if (ok) supported.push_back(candidate);
  }
  return VTEncoderFactory(std::move(supported), std::move(maker));
}

}  // namespace brindlet::host

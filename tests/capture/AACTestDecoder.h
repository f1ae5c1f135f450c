#pragma once

// Test helper: decodes our AAC-ELD packets with FFmpeg's AAC decoder (our magic cookie as its
// extradata) and measures what came out: the strongest frequency, and the signal-to-noise
// ratio against the input at the best alignment.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "base/Bytes.h"

namespace brindlet::testing {

class AACTestDecoder {
 public:
  explicit AACTestDecoder(const Bytes& cookie) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    context_ = avcodec_alloc_context3(codec);
    context_->extradata = static_cast<uint8_t*>(av_mallocz(cookie.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(context_->extradata, cookie.data(), cookie.size());
    context_->extradata_size = static_cast<int>(cookie.size());
    opened_ = avcodec_open2(context_, codec, nullptr) >= 0;
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
  }
  ~AACTestDecoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
  }

  bool opened() const { return opened_; }
  // Of the frames decoded.
  int channels() const { return channels_; }
  int profile() const { return context_->profile; }  // the audio object type minus 1
  int errors() const { return errors_; }

  // Decodes one packet; appends its frames, interleaved, to `out`.
  void decode(const Bytes& data, std::vector<float>& out) {
    av_new_packet(packet_, static_cast<int>(data.size()));
    std::memcpy(packet_->data, data.data(), data.size());
    int status = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (status < 0) {
      ++errors_;
      return;
    }
    while (avcodec_receive_frame(context_, frame_) == 0) {
      int n = frame_->ch_layout.nb_channels;
      channels_ = n;
      for (int i = 0; i < frame_->nb_samples; ++i) {
        for (int c = 0; c < n; ++c) {
          out.push_back(frame_->format == AV_SAMPLE_FMT_FLTP ? reinterpret_cast<float*>(frame_->data[c])[i]
                                                             : reinterpret_cast<float*>(frame_->data[0])[i * n + c]);
        }
      }
    }
  }

 private:
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  bool opened_ = false;
  int errors_ = 0;
  int channels_ = 0;
};

// Channel `channel` of interleaved `samples` of `channels` channels.
inline std::vector<float> channelOf(const std::vector<float>& samples, int channels, int channel) {
  std::vector<float> out;
  for (std::size_t i = channel; i < samples.size(); i += channels) out.push_back(samples[i]);
  return out;
}

// Where the spectrum of `x` peaks within `span` Hz of `expected`, to a small fraction of a
// hertz: a scan in steps of a tenth of the resolution, then a golden-section search.
inline double peakNear(const std::vector<float>& x, double rate, double expected, double span = 5) {
  auto power = [&](double f) {
    double re = 0, im = 0;
    const double w = 2 * std::numbers::pi * f / rate;
    const std::size_t n = x.size();
    for (std::size_t i = 0; i < n; ++i) {
      double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n));
      re += x[i] * hann * std::cos(w * static_cast<double>(i));
      im += x[i] * hann * std::sin(w * static_cast<double>(i));
    }
    return re * re + im * im;
  };
  const double step = rate / static_cast<double>(x.size()) / 10;
  double best = expected, bestPower = -1;
  for (double f = expected - span; f <= expected + span; f += step) {
    double p = power(f);
    if (p > bestPower) bestPower = p, best = f;
  }
  double lo = best - step, hi = best + step;
  for (int i = 0; i < 30; ++i) {
    double a = hi - (hi - lo) * 0.618, b = lo + (hi - lo) * 0.618;
    if (power(a) > power(b)) {
      hi = b;
    } else {
      lo = a;
    }
  }
  return (lo + hi) / 2;
}

struct Alignment {
  int delay = 0;  // output sample i matches input sample i - delay
  double snrDb = -1e9;
};

// The delay (0 to maxDelay) at which `output` best matches `input`, and the SNR there over
// [from, to) of the output, with the output's gain taken as it is.
inline Alignment align(const std::vector<float>& input, const std::vector<float>& output, int maxDelay, int from,
                       int to) {
  Alignment best;
  for (int d = 0; d <= maxDelay; ++d) {
    double signal = 0, noise = 0;
    for (int i = from; i < to; ++i) {
      if (i - d < 0 || i >= static_cast<int>(output.size()) || i - d >= static_cast<int>(input.size())) continue;
      double s = input[i - d];
      double e = output[i] - s;
      signal += s * s;
      noise += e * e;
    }
    double snr = 10 * std::log10(signal / std::max(noise, 1e-20));
    if (snr > best.snrDb) best = {d, snr};
  }
  return best;
}

// The SNR of `x` as a sum of sines at `frequencies` (amplitudes and phases fitted by least
// squares) plus noise: the fitted part's energy over the rest's.
inline double toneSNR(const std::vector<float>& x, double rate, const std::vector<double>& frequencies) {
  const std::size_t k = frequencies.size() * 2;
  std::vector<std::vector<double>> basis(k, std::vector<double>(x.size()));
  for (std::size_t j = 0; j < frequencies.size(); ++j) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      double phase = 2 * std::numbers::pi * frequencies[j] * static_cast<double>(i) / rate;
      basis[2 * j][i] = std::sin(phase);
      basis[2 * j + 1][i] = std::cos(phase);
    }
  }
  // Normal equations, solved by Gaussian elimination.
  std::vector<std::vector<double>> a(k, std::vector<double>(k + 1, 0));
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) {
      for (std::size_t i = 0; i < x.size(); ++i) a[r][c] += basis[r][i] * basis[c][i];
    }
    for (std::size_t i = 0; i < x.size(); ++i) a[r][k] += basis[r][i] * x[i];
  }
  for (std::size_t p = 0; p < k; ++p) {
    for (std::size_t r = p + 1; r < k; ++r) {
      double f = a[r][p] / a[p][p];
      for (std::size_t c = p; c <= k; ++c) a[r][c] -= f * a[p][c];
    }
  }
  std::vector<double> w(k);
  for (std::size_t p = k; p-- > 0;) {
    double v = a[p][k];
    for (std::size_t c = p + 1; c < k; ++c) v -= a[p][c] * w[c];
    w[p] = v / a[p][p];
  }
  double signal = 0, noise = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    double fit = 0;
    for (std::size_t j = 0; j < k; ++j) fit += w[j] * basis[j][i];
    signal += fit * fit;
    noise += (x[i] - fit) * (x[i] - fit);
  }
  return 10 * std::log10(signal / std::max(noise, 1e-20));
}

}  // namespace brindlet::testing

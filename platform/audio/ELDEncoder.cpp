#include "platform/audio/ELDEncoder.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <numbers>

#include "platform/audio/AACTables.h"

namespace brindlet::platform {

namespace {

constexpr int N = ELDEncoder::frameLength;
constexpr int windowLength = 4 * N;
constexpr int bandCount = 36;
constexpr int zeroCodebook = 0;
constexpr int escapeCodebook = 11;
constexpr int maxQuantized = 8191;

class BitWriter {
 public:
  void put(std::uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (used_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> (used_ % 8));
      ++used_;
    }
  }
  int used() const { return used_; }
  Bytes take() { return std::move(bytes_); }

 private:
  Bytes bytes_;
  int used_ = 0;
};

// Largest absolute value codebook `cb` (1 to 11) holds, and how it is laid out.
struct CodebookShape {
  int largest;
  int dimensions;
  bool isSigned;
};
constexpr CodebookShape shapes[12] = {{0, 0, false}, {1, 4, true},   {1, 4, true},   {2, 4, false},
                                      {2, 4, false}, {4, 2, true},   {4, 2, true},   {7, 2, false},
                                      {7, 2, false}, {12, 2, false}, {12, 2, false}, {16, 2, false}};

int escapeBits(int magnitude) {
  if (magnitude < 16) return 0;
  int n = 31 - __builtin_clz(static_cast<unsigned>(magnitude));
  return 2 * n - 3;
}

void writeEscape(BitWriter& out, int magnitude) {
  if (magnitude < 16) return;
  int n = 31 - __builtin_clz(static_cast<unsigned>(magnitude));
  out.put((1u << (n - 4)) - 1, n - 4);
  out.put(0, 1);
  out.put(static_cast<std::uint32_t>(magnitude) - (1u << n), n);
}

// The codeword index of one tuple of codebook `cb`.
int tupleIndex(int cb, const int* values) {
  const CodebookShape& shape = shapes[cb];
  int modulus = shape.isSigned ? 2 * shape.largest + 1 : shape.largest + 1;
  int index = 0;
  for (int i = 0; i < shape.dimensions; ++i) {
    int v = shape.isSigned ? values[i] + shape.largest : std::min(std::abs(values[i]), shape.largest);
    index = index * modulus + v;
  }
  return index;
}

// Bits of lines [begin, end) in codebook `cb` (1 to 11).
int spectralBits(int cb, const int* q, int begin, int end) {
  const CodebookShape& shape = shapes[cb];
  const aac::Codebook& book = aac::spectralCodebooks[cb - 1];
  int bits = 0;
  for (int i = begin; i < end; i += shape.dimensions) {
    bits += book.lengths[tupleIndex(cb, q + i)];
    if (!shape.isSigned) {
      for (int d = 0; d < shape.dimensions; ++d) {
        if (q[i + d] != 0) ++bits;
        if (cb == escapeCodebook) bits += escapeBits(std::abs(q[i + d]));
      }
    }
  }
  return bits;
}

void writeSpectral(BitWriter& out, int cb, const int* q, int begin, int end) {
  const CodebookShape& shape = shapes[cb];
  const aac::Codebook& book = aac::spectralCodebooks[cb - 1];
  for (int i = begin; i < end; i += shape.dimensions) {
    int index = tupleIndex(cb, q + i);
    out.put(book.codes[index], book.lengths[index]);
    if (shape.isSigned) continue;
    for (int d = 0; d < shape.dimensions; ++d) {
      if (q[i + d] != 0) out.put(q[i + d] < 0 ? 1 : 0, 1);
    }
    if (cb == escapeCodebook) {
      for (int d = 0; d < shape.dimensions; ++d) writeEscape(out, std::abs(q[i + d]));
    }
  }
}

// The cheapest codebook of each band and what it costs.
struct BandCoding {
  int codebook = zeroCodebook;
  int bits = 0;
};

BandCoding cheapestCodebook(const int* q, int begin, int end) {
  int largest = 0;
  for (int i = begin; i < end; ++i) largest = std::max(largest, std::abs(q[i]));
  if (largest == 0) return {};
  BandCoding best{escapeCodebook, spectralBits(escapeCodebook, q, begin, end)};
  for (int cb = 1; cb < escapeCodebook; ++cb) {
    if (shapes[cb].largest < largest) continue;
    int bits = spectralBits(cb, q, begin, end);
    if (bits < best.bits) best = {cb, bits};
  }
  return best;
}

int sectionLengthBits(int length) { return 5 * (length / 31 + 1); }

// One channel's coding at one scale factor.
struct ChannelCoding {
  std::array<BandCoding, bandCount> bands{};
  int lastBand = -1;  // the highest band with a non-zero line
};

// `compressed` is |x|^(3/4) with the sign of x; `gain` the step's (3/4) power, inverted.
int quantize(float compressed, float gain) {
  float magnitude = std::fabs(compressed) * gain + 0.4054f;
  int q = std::min(static_cast<int>(magnitude), maxQuantized);
  return compressed < 0 ? -q : q;
}

}  // namespace

ELDEncoder::ELDEncoder(int bitRate)
    : bitsPerFrame_(static_cast<int>(static_cast<std::int64_t>(bitRate) * N / sampleRate)),
      analysisWindow_(windowLength) {
  // The analysis window is the synthesis window reversed in time; its first 128 coefficients
  // (the synthesis window's zero tail) are zero.
  for (int m = 0; m < windowLength; ++m) {
    int j = windowLength - 1 - m;
    analysisWindow_[m] = j < 1920 ? static_cast<float>(aac::lowDelayWindow512Q30[j] / double(1 << 30)) : 0.f;
  }
  // The modulation of the low-delay analysis is cos(pi/N (m - 3N/4 + 1/2)(k + 1/2)) over the
  // folded block, scaled by 2 so that the decoder's synthesis gives the input back at unit gain;
  // it is computed as an MDCT through a DCT-IV and an N/2-point FFT.
  const int half = N / 2;
  preTwiddle_.resize(half);
  postTwiddle_.resize(half);
  fftTwiddle_.resize(half);
  fftBuffer_.resize(half);
  bitReversed_.resize(half);
  for (int n = 0; n < half; ++n) {
    preTwiddle_[n] = std::polar(1.f, static_cast<float>(-std::numbers::pi * (4 * n + 1) / (4.0 * N)));
    postTwiddle_[n] = std::polar(1.f, static_cast<float>(-std::numbers::pi * n / N));
    fftTwiddle_[n] = std::polar(1.f, static_cast<float>(-2 * std::numbers::pi * n / half));
    int reversed = 0;
    for (int bit = 1, r = half / 2; bit < half; bit *= 2, r /= 2) {
      if (n & bit) reversed |= r;
    }
    bitReversed_[n] = reversed;
  }
  for (auto& channel : channels_) channel.history.assign(windowLength, 0.f);
}

Bytes ELDEncoder::audioSpecificConfig() {
  BitWriter out;
  out.put(31, 5);       // audio object type escape
  out.put(39 - 32, 6);  // ER AAC ELD
  out.put(3, 4);        // 48000 Hz
  out.put(2, 4);        // channel configuration: stereo
  out.put(0, 1);        // frameLengthFlag: 512
  out.put(0, 3);        // no section, scale factor or spectral data resilience
  out.put(0, 1);        // no low-delay SBR
  out.put(0, 4);        // ELDEXT_TERM
  out.put(0, 2);        // epConfig
  return out.take();
}

void ELDEncoder::analyse(Channel& channel) {
  // Window the newest 4N samples and fold them to 2N: the modulation is antiperiodic in 2N.
  float folded[2 * N];
  const float* x = channel.history.data();
  const float* w = analysisWindow_.data();
  for (int m = 0; m < 2 * N; ++m) folded[m] = x[m] * w[m] - x[m + 2 * N] * w[m + 2 * N];
  // The analysis phase is the ordinary MDCT's shifted by -(N + N/4) samples: rotate the block
  // by that much (antiperiodically) to get an ordinary MDCT input v = [a, b, c, d].
  constexpr int shift = N + N / 4;
  float v[2 * N];
  for (int j = 0; j < 2 * N - shift; ++j) v[j] = folded[j + shift];
  for (int j = 2 * N - shift; j < 2 * N; ++j) v[j] = -folded[j + shift - 2 * N];
  // MDCT(a, b, c, d) = DCT-IV(-c reversed - d, a - b reversed).
  float u[N];
  constexpr int half = N / 2;
  for (int n = 0; n < half; ++n) {
    u[n] = -v[N + half - 1 - n] - v[N + half + n];
    u[half + n] = v[n] - v[N - 1 - n];
  }
  // DCT-IV of N points through an N/2-point complex FFT.
  auto& z = fftBuffer_;
  for (int n = 0; n < half; ++n) z[n] = std::complex<float>(u[2 * n], u[N - 1 - 2 * n]) * preTwiddle_[n];
  fft(z);
  for (int k = 0; k < half; ++k) {
    std::complex<float> d = z[k] * postTwiddle_[k];
    channel.spectrum[2 * k] = 2 * d.real();
    channel.spectrum[N - 1 - 2 * k] = -2 * d.imag();
  }
}

void ELDEncoder::fft(std::vector<std::complex<float>>& z) const {
  const int n = static_cast<int>(z.size());
  for (int i = 0; i < n; ++i) {
    int j = bitReversed_[i];
    if (i < j) std::swap(z[i], z[j]);
  }
  for (int length = 2; length <= n; length *= 2) {
    const int step = n / length;
    for (int start = 0; start < n; start += length) {
      for (int k = 0; k < length / 2; ++k) {
        std::complex<float> t = z[start + k + length / 2] * fftTwiddle_[k * step];
        z[start + k + length / 2] = z[start + k] - t;
        z[start + k] += t;
      }
    }
  }
}

Bytes ELDEncoder::encode(const float* frames) {
  for (int c = 0; c < channels; ++c) {
    auto& history = channels_[c].history;
    std::copy(history.begin() + N, history.end(), history.begin());
    for (int i = 0; i < N; ++i) history[windowLength - N + i] = frames[2 * i + c] * 32768.f;
    analyse(channels_[c]);
  }

  const std::uint16_t* offsets = aac::bandOffsets512At48k;
  std::array<ChannelCoding, channels> coding;
  for (auto& channel : channels_) {
    for (int i = 0; i < N; ++i)
      channel.compressed[i] = std::copysign(std::pow(std::fabs(channel.spectrum[i]), 0.75f), channel.spectrum[i]);
  }
  // Quantized value = (|x| / 2^((scale - 100) / 4))^(3/4), rounded with the standard's bias.
  auto codeAt = [&](int scale) {
    float gain = std::pow(2.f, -0.1875f * static_cast<float>(scale - 100));
    int bits = 6 + 2;
    for (int c = 0; c < channels; ++c) {
      Channel& channel = channels_[c];
      for (int i = 0; i < N; ++i) channel.quantized[i] = quantize(channel.compressed[i], gain);
      ChannelCoding& cc = coding[c];
      cc.lastBand = -1;
      for (int b = 0; b < bandCount; ++b) {
        cc.bands[b] = cheapestCodebook(channel.quantized.data(), offsets[b], offsets[b + 1]);
        if (cc.bands[b].codebook != zeroCodebook) cc.lastBand = b;
      }
    }
    int maxBand = std::max(coding[0].lastBand, coding[1].lastBand) + 1;
    for (int c = 0; c < channels; ++c) {
      bits += 8 + 1;
      int b = 0;
      while (b < maxBand) {
        int end = b;
        while (end < maxBand && coding[c].bands[end].codebook == coding[c].bands[b].codebook) ++end;
        bits += 4 + sectionLengthBits(end - b);
        for (int i = b; i < end; ++i) {
          bits += coding[c].bands[i].bits;
          if (coding[c].bands[i].codebook != zeroCodebook) bits += 1;  // scale factor difference 0
        }
        b = end;
      }
    }
    return bits;
  };

  int budget = bitsPerFrame_ + std::min(reservoir_, 4 * bitsPerFrame_);
  budget = std::min(budget, maxAccessUnitSize * 8);
  // The finest scale factor whose frame fits the budget.
  int low = 0, high = 255;
  while (low < high) {
    int mid = (low + high) / 2;
    if (codeAt(mid) <= budget) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  int scale = low;
  int bits = codeAt(scale);
  lastScale_ = scale;

  BitWriter out;
  int maxBand = std::max(coding[0].lastBand, coding[1].lastBand) + 1;
  out.put(static_cast<std::uint32_t>(maxBand), 6);
  out.put(0, 2);  // ms_mask_present: left and right
  for (int c = 0; c < channels; ++c) {
    const ChannelCoding& cc = coding[c];
    out.put(static_cast<std::uint32_t>(scale), 8);  // global gain
    int b = 0;
    while (b < maxBand) {
      int end = b;
      while (end < maxBand && cc.bands[end].codebook == cc.bands[b].codebook) ++end;
      out.put(static_cast<std::uint32_t>(cc.bands[b].codebook), 4);
      int length = end - b;
      while (length >= 31) {
        out.put(31, 5);
        length -= 31;
      }
      out.put(static_cast<std::uint32_t>(length), 5);
      b = end;
    }
    for (b = 0; b < maxBand; ++b) {
      if (cc.bands[b].codebook != zeroCodebook) out.put(aac::scalefactorCodes[60], aac::scalefactorLengths[60]);
    }
    out.put(0, 1);  // no temporal noise shaping
    for (b = 0; b < maxBand; ++b) {
      if (cc.bands[b].codebook != zeroCodebook) {
        writeSpectral(out, cc.bands[b].codebook, channels_[c].quantized.data(), offsets[b], offsets[b + 1]);
      }
    }
  }
  (void)bits;
  reservoir_ = std::max(0, reservoir_ + bitsPerFrame_ - out.used());
  return out.take();
}

}  // namespace brindlet::platform

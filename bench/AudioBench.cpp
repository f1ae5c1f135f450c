// The AAC-ELD encoder beside FFmpeg's own AAC encoder (AAC-LC, the one it has) at the same bit
// rate on the same signal: a second of 48 kHz stereo music-like signal (chords of tones with
// vibrato and some noise).
//  - BM_AudioEncode/0: our encoder (AACELDEncoder, 512-frame packets); /1: FFmpeg's "aac"
//    encoder at 128 kbit/s (1024-frame packets). Time per iteration = CPU time to encode one
//    second of audio.
//  - Counters: snr_db, the signal-to-noise ratio after decoding with FFmpeg's AAC decoder at
//    the best alignment; kbps, the bit rate produced.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "host/capture/AACELDEncoder.h"

using namespace brindlet;

namespace {

constexpr int rate = 48000;

std::vector<float> musicLike() {
  std::vector<float> out(rate * 2);
  std::mt19937 random(3);
  std::normal_distribution<float> noise(0.f, 0.01f);
  const double notes[] = {220, 277.18, 329.63, 440, 554.37, 880, 1318.5, 3520};
  for (int i = 0; i < rate; ++i) {
    double t = static_cast<double>(i) / rate;
    double v = 0;
    for (int n = 0; n < 8; ++n) {
      double f = notes[n] * (1 + 0.003 * std::sin(2 * std::numbers::pi * 5 * t));
      v += 0.08 / (1 + n * 0.3) * std::sin(2 * std::numbers::pi * f * t + n);
    }
    out[2 * i] = static_cast<float>(v) + noise(random);
    out[2 * i + 1] = static_cast<float>(0.7 * v) + noise(random);
  }
  return out;
}

struct Decoded {
  std::vector<float> left;
  std::size_t bytes = 0;
};

AVCodecContext* openDecoder(const std::vector<std::uint8_t>& extradata) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->extradata = static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  std::memcpy(context->extradata, extradata.data(), extradata.size());
  context->extradata_size = static_cast<int>(extradata.size());
  avcodec_open2(context, codec, nullptr);
  return context;
}

void decodeInto(AVCodecContext* context, const std::uint8_t* data, int size, Decoded& out) {
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  av_new_packet(packet, size);
  std::memcpy(packet->data, data, size);
  out.bytes += static_cast<std::size_t>(size);
  if (avcodec_send_packet(context, packet) >= 0) {
    while (avcodec_receive_frame(context, frame) == 0) {
      const float* left = reinterpret_cast<const float*>(frame->data[0]);
      out.left.insert(out.left.end(), left, left + frame->nb_samples);
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
}

double snr(const std::vector<float>& input, const std::vector<float>& left) {
  double best = -1e9;
  for (int d = 0; d < 4096; ++d) {
    double s = 0, e = 0;
    for (int i = 8192; i < rate - 8192; ++i) {
      if (i >= static_cast<int>(left.size())) break;
      double x = input[2 * (i - d)];
      s += x * x;
      e += (left[i] - x) * (left[i] - x);
    }
    if (e > 0) best = std::max(best, 10 * std::log10(s / e));
  }
  return best;
}

void BM_AudioEncode(benchmark::State& state) {
  const auto input = musicLike();
  const bool ours = state.range(0) == 0;
  Decoded decoded;
  for (auto _ : state) {
    decoded = {};
    if (ours) {
      host::AACELDEncoder encoder(2, rate);
      std::vector<Bytes> packets;
      for (std::size_t at = 0; at < input.size(); at += 960) {
        std::vector<float> batch(input.begin() + static_cast<std::ptrdiff_t>(at),
                                 input.begin() + static_cast<std::ptrdiff_t>(std::min(input.size(), at + 960)));
        for (auto& p : encoder.encode(batch)) packets.push_back(std::move(p));
      }
      benchmark::DoNotOptimize(packets.data());
      state.PauseTiming();
      AVCodecContext* decoder = openDecoder(encoder.config().magicCookie);
      for (const auto& p : packets) decodeInto(decoder, p.data(), static_cast<int>(p.size()), decoded);
      avcodec_free_context(&decoder);
      state.ResumeTiming();
    } else {
      const AVCodec* codec = avcodec_find_encoder_by_name("aac");
      AVCodecContext* context = avcodec_alloc_context3(codec);
      context->sample_rate = rate;
      context->bit_rate = 128000;
      context->sample_fmt = AV_SAMPLE_FMT_FLTP;
      av_channel_layout_default(&context->ch_layout, 2);
      context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      avcodec_open2(context, codec, nullptr);
      AVFrame* frame = av_frame_alloc();
      AVPacket* packet = av_packet_alloc();
      std::vector<std::vector<std::uint8_t>> packets;
      auto drain = [&] {
        while (avcodec_receive_packet(context, packet) == 0) {
          packets.emplace_back(packet->data, packet->data + packet->size);
          av_packet_unref(packet);
        }
      };
      for (int at = 0; at + context->frame_size <= rate; at += context->frame_size) {
        frame->nb_samples = context->frame_size;
        frame->format = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
        av_frame_get_buffer(frame, 0);
        for (int i = 0; i < frame->nb_samples; ++i) {
          reinterpret_cast<float*>(frame->data[0])[i] = input[2 * (at + i)];
          reinterpret_cast<float*>(frame->data[1])[i] = input[2 * (at + i) + 1];
        }
        avcodec_send_frame(context, frame);
        av_frame_unref(frame);
        drain();
      }
      avcodec_send_frame(context, nullptr);
      drain();
      state.PauseTiming();
      std::vector<std::uint8_t> extradata(context->extradata, context->extradata + context->extradata_size);
      AVCodecContext* decoder = openDecoder(extradata);
      for (const auto& p : packets) decodeInto(decoder, p.data(), static_cast<int>(p.size()), decoded);
      avcodec_free_context(&decoder);
      av_packet_free(&packet);
      av_frame_free(&frame);
      avcodec_free_context(&context);
      state.ResumeTiming();
    }
  }
  state.counters["snr_db"] = snr(input, decoded.left);
  state.counters["kbps"] = static_cast<double>(decoded.bytes) * 8 / 1000;
  state.SetLabel(ours ? "ours: AAC-ELD" : "FFmpeg: AAC-LC");
}

}  // namespace

BENCHMARK(BM_AudioEncode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

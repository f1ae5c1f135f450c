#pragma once
// Test helper: decodes what our encoder produced with FFmpeg's HEVC decoder and compares
// pictures. Parameter sets arrive as bare NAL units and the payload as length-prefixed NAL
// units; the decoder is fed the Annex B form of both.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace brindlet::testing {

struct DecodedPicture {
  int width = 0, height = 0;
  int profile = 0;            // as libavcodec reports it (1 Main, 4 range extensions)
  int pixelFormat = 0;        // AVPixelFormat
  std::vector<uint8_t> bgr0;  // width * 4 bytes a row
};

class HEVCTestDecoder {
 public:
  HEVCTestDecoder() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    context_ = avcodec_alloc_context3(codec);
    context_->thread_count = 1;
    avcodec_open2(context_, codec, nullptr);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
  }
  ~HEVCTestDecoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
    sws_freeContext(sws_);
  }

  // Converts length-prefixed NAL units to Annex B; false when a length runs past the end.
  static bool toAnnexB(const std::vector<uint8_t>& payload, std::vector<uint8_t>& out) {
    size_t i = 0;
    while (i + 4 <= payload.size()) {
      size_t n =
          (size_t(payload[i]) << 24) | (size_t(payload[i + 1]) << 16) | (size_t(payload[i + 2]) << 8) | payload[i + 3];
      i += 4;
      if (n == 0 || i + n > payload.size()) return false;
      out.insert(out.end(), {0, 0, 0, 1});
      out.insert(out.end(), payload.begin() + long(i), payload.begin() + long(i + n));
      i += n;
    }
    return i == payload.size();
  }

  // NAL unit types inside a length-prefixed payload.
  static std::vector<int> nalTypes(const std::vector<uint8_t>& payload) {
    std::vector<int> types;
    size_t i = 0;
    while (i + 5 <= payload.size()) {
      size_t n =
          (size_t(payload[i]) << 24) | (size_t(payload[i + 1]) << 16) | (size_t(payload[i + 2]) << 8) | payload[i + 3];
      types.push_back((payload[i + 4] >> 1) & 0x3F);
      i += 4 + n;
    }
    return types;
  }

  std::optional<DecodedPicture> decode(const std::vector<std::vector<uint8_t>>& parameterSets,
                                       const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> stream;
    for (const auto& ps : parameterSets) {
      stream.insert(stream.end(), {0, 0, 0, 1});
      stream.insert(stream.end(), ps.begin(), ps.end());
    }
    if (!toAnnexB(payload, stream)) return std::nullopt;
    stream.resize(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet_->data = stream.data();
    packet_->size = int(stream.size() - AV_INPUT_BUFFER_PADDING_SIZE);
    if (avcodec_send_packet(context_, packet_) < 0) return std::nullopt;
    if (avcodec_receive_frame(context_, frame_) < 0) return std::nullopt;
    DecodedPicture p;
    p.width = frame_->width;
    p.height = frame_->height;
    p.profile = context_->profile;
    p.pixelFormat = frame_->format;
    p.bgr0.resize(size_t(p.width) * p.height * 4);
    if (!converter(p.width, p.height, AVPixelFormat(frame_->format))) return std::nullopt;
    AVFrame* out = av_frame_alloc();
    out->format = AV_PIX_FMT_BGR0;
    out->width = p.width;
    out->height = p.height;
    out->data[0] = p.bgr0.data();
    out->linesize[0] = p.width * 4;
    // A buffer over `p`'s pixels (without one the conversion would allocate its own); its
    // release frees nothing.
    out->buf[0] = av_buffer_create(
        p.bgr0.data(), p.bgr0.size(), [](void*, uint8_t*) {}, nullptr, 0);
    const bool converted = out->buf[0] && sws_scale_frame(sws_, out, frame_) >= 0;
    av_frame_free(&out);
    av_frame_unref(frame_);
    if (!converted) return std::nullopt;
    return p;
  }

 private:
  // The BT.709 conversion to BGR0 for pictures of this size and format, made on first use;
  // it works in slices on several threads (the same pixels as one thread gives).
  bool converter(int width, int height, AVPixelFormat format) {
    if (sws_ && width == swsWidth_ && height == swsHeight_ && format == swsFormat_) return true;
    sws_freeContext(sws_);
    sws_ = sws_alloc_context();
    av_opt_set_int(sws_, "srcw", width, 0);
    av_opt_set_int(sws_, "srch", height, 0);
    av_opt_set_int(sws_, "src_format", format, 0);
    av_opt_set_int(sws_, "dstw", width, 0);
    av_opt_set_int(sws_, "dsth", height, 0);
    av_opt_set_int(sws_, "dst_format", AV_PIX_FMT_BGR0, 0);
    av_opt_set_int(sws_, "sws_flags", SWS_BILINEAR, 0);
    av_opt_set_int(sws_, "threads", 0, 0);  // one a processor
    if (sws_init_context(sws_, nullptr, nullptr) < 0) {
      sws_freeContext(sws_);
      sws_ = nullptr;
      return false;
    }
    sws_setColorspaceDetails(sws_, sws_getCoefficients(SWS_CS_ITU709), 0, sws_getCoefficients(SWS_CS_ITU709), 1, 0,
                             1 << 16, 1 << 16);
    swsWidth_ = width;
    swsHeight_ = height;
    swsFormat_ = format;
    return true;
  }

  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* sws_ = nullptr;
  int swsWidth_ = 0, swsHeight_ = 0;
  AVPixelFormat swsFormat_ = AV_PIX_FMT_NONE;
};

// Peak signal-to-noise ratio over the B, G and R bytes of two pictures of 4-byte pixels.
inline double psnrBGR(const uint8_t* a, int strideA, const uint8_t* b, int strideB, int width, int height) {
  double sum = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < 3; ++c) {
        double d = double(a[y * strideA + x * 4 + c]) - double(b[y * strideB + x * 4 + c]);
        sum += d * d;
      }
    }
  }
  double mse = sum / (double(width) * height * 3);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace brindlet::testing

#pragma once
// Converts B,G,R,X pictures either to planar Y'CbCr (BT.709, limited range; 4:2:0 or 4:4:4),
// in bands of rows on a few threads, or to B,G,R,X pictures of another size with libswscale.
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/video/PixelBuffer.h"

struct SwsContext;
struct AVFrame;

namespace brindlet::platform {

enum class PlanarFormat { yuv420, yuv444 };

// Destination planes of a Y'CbCr conversion.
struct PlanarPicture {
  uint8_t* planes[3] = {};
  int strides[3] = {};
};

class PixelConverter {
 public:
  // Same-size conversion of B,G,R,X to Y'CbCr.
  static std::unique_ptr<PixelConverter> toPlanar(int width, int height, PlanarFormat format, int threads);
  // Resampling of B,G,R,X from one size to another.
  static std::unique_ptr<PixelConverter> scaler(int srcWidth, int srcHeight, int dstWidth, int dstHeight, int threads);
  ~PixelConverter();
  PixelConverter(const PixelConverter&) = delete;
  PixelConverter& operator=(const PixelConverter&) = delete;

  int srcWidth() const { return srcWidth_; }
  int srcHeight() const { return srcHeight_; }
  int dstWidth() const { return dstWidth_; }
  int dstHeight() const { return dstHeight_; }

  // Converts the picture at `src` (stride `srcStride`); false on failure.
  bool convert(const uint8_t* src, int srcStride, const PlanarPicture& dst);
  bool scale(const uint8_t* src, int srcStride, PixelBuffer& dst);

 private:
  PixelConverter() = default;
  bool run(const uint8_t* src, int srcStride, uint8_t* const dstPlanes[4], const int dstStrides[4]);
  SwsContext* context_ = nullptr;
  AVFrame* srcFrame_ = nullptr;
  AVFrame* dstFrame_ = nullptr;
  int srcWidth_ = 0, srcHeight_ = 0, dstWidth_ = 0, dstHeight_ = 0;
  int dstFormat_ = 0;
  std::optional<PlanarFormat> planar_;  // set for a Y'CbCr conversion
  int bands_ = 1;
  class BandWorkers;
  std::unique_ptr<BandWorkers> workers_;  // the threads of bands after the first
};

}  // namespace brindlet::platform

#pragma once
// Still pictures in and out of their file formats: PNG (libpng), JPEG (libturbojpeg), and
// whatever else the system's picture loaders read (GIF, BMP, TIFF, ICO ...) turned into PNG.
#include <cstdint>
#include <optional>

#include "base/Bytes.h"

namespace brindlet::platform {

// Pixels of one picture, rows top to bottom without padding.
struct RGBAImage {
  int width = 0;
  int height = 0;
  Bytes rgba;  // R, G, B, A (straight, not premultiplied alpha), 4 bytes a pixel
};

// A PNG of the picture; nothing when it cannot be encoded (an empty or inconsistent one).
std::optional<Bytes> encodePNG(const RGBAImage& image);
// The picture of a PNG; nothing when the bytes are no PNG.
std::optional<RGBAImage> decodePNG(ByteView png);

// A JPEG (4:2:0, `quality` 1..100) of B,G,R,X pixels `stride` bytes a row.
std::optional<Bytes> encodeJPEG(const std::uint8_t* bgrx, int width, int height, int stride, int quality);
// The picture of a JPEG (alpha 255); nothing when the bytes are no JPEG.
std::optional<RGBAImage> decodeJPEG(ByteView jpeg);

// A picture in any format the system can read, as PNG; nothing when it cannot be read.
std::optional<Bytes> convertToPNG(ByteView picture);

}  // namespace brindlet::platform

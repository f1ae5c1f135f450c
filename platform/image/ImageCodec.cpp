#include "platform/image/ImageCodec.h"

#include <csetjmp>
#include <cstring>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <png.h>
#include <turbojpeg.h>

namespace brindlet::platform {

namespace {

void appendToBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp) {}

struct PNGInput {
  ByteView bytes;
  std::size_t offset = 0;
};

void readFromBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* in = static_cast<PNGInput*>(png_get_io_ptr(png));
  if (in->bytes.size() - in->offset < length) png_error(png, "truncated");
  std::memcpy(data, in->bytes.data() + in->offset, length);
  in->offset += length;
}

}  // namespace

std::optional<Bytes> encodePNG(const RGBAImage& image) {
  if (image.width <= 0 || image.height <= 0 ||
      image.rgba.size() != static_cast<std::size_t>(image.width) * image.height * 4) {
    return std::nullopt;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return std::nullopt;
  png_infop info = png_create_info_struct(png);
  Bytes out;
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, info ? &info : nullptr);
    return std::nullopt;
  }
  png_set_write_fn(png, &out, appendToBytes, flushNothing);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 6);
  png_write_info(png, info);
  for (int y = 0; y < image.height; ++y) {
    png_write_row(png, const_cast<png_bytep>(image.rgba.data() + static_cast<std::size_t>(y) * image.width * 4));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

std::optional<RGBAImage> decodePNG(ByteView bytes) {
  if (bytes.size() < 8 || png_sig_cmp(bytes.data(), 0, 8) != 0) return std::nullopt;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return std::nullopt;
  png_infop info = png_create_info_struct(png);
  PNGInput input{bytes, 0};
  RGBAImage image;
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    return std::nullopt;
  }
  png_set_read_fn(png, &input, readFromBytes);
  png_read_info(png, info);
  // Every colour type and depth becomes 8-bit R, G, B, A.
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  image.width = static_cast<int>(png_get_image_width(png, info));
  image.height = static_cast<int>(png_get_image_height(png, info));
  image.rgba.resize(static_cast<std::size_t>(image.width) * image.height * 4);
  std::vector<png_bytep> rows(static_cast<std::size_t>(image.height));
  for (int y = 0; y < image.height; ++y) rows[y] = image.rgba.data() + static_cast<std::size_t>(y) * image.width * 4;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return image;
}

std::optional<Bytes> encodeJPEG(const std::uint8_t* bgrx, int width, int height, int stride, int quality) {
  if (!bgrx || width <= 0 || height <= 0) return std::nullopt;
  tjhandle handle = tjInitCompress();
  if (!handle) return std::nullopt;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  int rc =
      tjCompress2(handle, bgrx, width, stride, height, TJPF_BGRX, &buffer, &size, TJSAMP_420, quality, TJFLAG_FASTDCT);
  std::optional<Bytes> out;
  if (rc == 0) out = Bytes(buffer, buffer + size);
  tjFree(buffer);
  tjDestroy(handle);
  return out;
}

std::optional<RGBAImage> decodeJPEG(ByteView jpeg) {
  tjhandle handle = tjInitDecompress();
  if (!handle) return std::nullopt;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  std::optional<RGBAImage> out;
  if (tjDecompressHeader3(handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()), &width, &height, &subsampling,
                          &colorspace) == 0) {
    RGBAImage image{width, height, Bytes(static_cast<std::size_t>(width) * height * 4)};
    if (tjDecompress2(handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()), image.rgba.data(), width, 0, height,
                      TJPF_RGBA, 0) == 0) {
      out = std::move(image);
    }
  }
  tjDestroy(handle);
  return out;
}

std::optional<Bytes> convertToPNG(ByteView picture) {
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
  GError* error = nullptr;
  std::optional<Bytes> out;
  bool written = gdk_pixbuf_loader_write(loader, picture.data(), picture.size(), &error);
  g_clear_error(&error);
  bool closed = gdk_pixbuf_loader_close(loader, &error);
  g_clear_error(&error);
  GdkPixbuf* pixbuf = written && closed ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
  if (pixbuf) {
    gchar* buffer = nullptr;
    gsize size = 0;
    if (gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", &error, nullptr)) {
      out = Bytes(reinterpret_cast<const std::uint8_t*>(buffer), reinterpret_cast<const std::uint8_t*>(buffer) + size);
    }
    g_clear_error(&error);
    g_free(buffer);
  }
  g_object_unref(loader);
  return out;
}

}  // namespace brindlet::platform

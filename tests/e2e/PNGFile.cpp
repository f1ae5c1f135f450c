#include "e2e/PNGFile.h"

#include <png.h>

#include <cstdio>
#include <vector>

namespace brindlet::testing {

bool writePNG(const std::filesystem::path& file, const DecodedPicture& picture) {
  if (picture.width <= 0 || picture.height <= 0) return false;
  FILE* out = std::fopen(file.c_str(), "wb");
  if (!out) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  volatile bool written = false;  // read after a longjmp
  std::vector<png_byte> row(static_cast<std::size_t>(picture.width) * 3);
  if (info && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, out);
    png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width), static_cast<png_uint_32>(picture.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < picture.height; ++y) {
      const std::uint8_t* source = picture.bgr0.data() + static_cast<std::size_t>(y) * picture.width * 4;
      for (int x = 0; x < picture.width; ++x) {
        row[x * 3] = source[x * 4 + 2];
        row[x * 3 + 1] = source[x * 4 + 1];
        row[x * 3 + 2] = source[x * 4];
      }
      png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    written = true;
  }
  png_destroy_write_struct(&png, info ? &info : nullptr);
  return std::fclose(out) == 0 && written;
}

}  // namespace brindlet::testing

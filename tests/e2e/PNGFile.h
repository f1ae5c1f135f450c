#pragma once

#include <filesystem>

#include "platform/capture/HEVCTestDecoder.h"

namespace brindlet::testing {

// Writes a decoded picture as an 8-bit RGB PNG file; false when the file cannot be written.
bool writePNG(const std::filesystem::path& file, const DecodedPicture& picture);

}  // namespace brindlet::testing

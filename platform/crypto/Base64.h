#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Bytes.h"

namespace brindlet::platform {

// Standard Base64 (RFC 4648, alphabet "+/") with "=" padding.
std::string base64Encode(ByteView data);
// Strict decoding of padded standard Base64: nothing for a length that is not a multiple of
// 4, a character outside the alphabet, misplaced padding or non-zero trailing bits.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace brindlet::platform

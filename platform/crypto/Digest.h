#pragma once

#include "base/Bytes.h"

namespace brindlet::platform {

// SHA-256 of the bytes: 32 bytes.
Bytes sha256(ByteView data);
// HMAC-SHA256 of the data under the key: 32 bytes.
Bytes hmacSHA256(ByteView key, ByteView data);

}  // namespace brindlet::platform

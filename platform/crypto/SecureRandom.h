#pragma once

#include <cstddef>

#include "base/Bytes.h"

namespace brindlet::platform {

// `count` bytes from the system's cryptographically secure generator. A failing generator
// cannot be worked around safely: the process stops rather than go on with predictable bytes.
Bytes secureRandomBytes(std::size_t count);

}  // namespace brindlet::platform

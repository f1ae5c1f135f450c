#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brindlet {

// An owned run of bytes: what the protocol calls Data.
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Lower-case hexadecimal, two digits a byte.
std::string toHex(ByteView bytes);

// The bytes of a text, as written (no terminator).
Bytes bytesOf(std::string_view text);

}  // namespace brindlet

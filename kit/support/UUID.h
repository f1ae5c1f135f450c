#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace brindlet {

// A 128-bit universally unique identifier. On the wire it is its 16 bytes; in stored
// records and logs it is the upper-case canonical text (8-4-4-4-12 hex digits).
struct UUID {
  std::array<std::uint8_t, 16> bytes{};

  // A random (version 4) identifier from the system's secure random source.
  static UUID random();
  // Parses the canonical text, in either case; nothing for any other text.
  static std::optional<UUID> parse(std::string_view text);

  std::string uuidString() const;

  auto operator<=>(const UUID&) const = default;
  bool operator==(const UUID&) const = default;
};

}  // namespace brindlet

template <>
struct std::hash<brindlet::UUID> {
  std::size_t operator()(const brindlet::UUID& id) const noexcept {
    std::size_t h = 1469598103934665603ull;
    for (auto b : id.bytes) h = (h ^ b) * 1099511628211ull;
    return h;
  }
};

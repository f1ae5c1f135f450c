#pragma once

#include <cstdint>
#include <optional>

namespace brindlet {

// Enumerations that travel as one byte. Each specialises RawRange with the first and last
// raw value it defines; every value in between is a case.
template <class E>
struct RawRange;

// The one-byte raw value of an enumeration case.
template <class E>
constexpr std::uint8_t rawValue(E value) {
  return static_cast<std::uint8_t>(value);
}

// The case with this raw value, or nothing for a byte outside the enumeration's range.
template <class E>
constexpr std::optional<E> fromRaw(std::uint8_t raw) {
  if (raw < RawRange<E>::first || raw > RawRange<E>::last) return std::nullopt;
  return static_cast<E>(raw);
}

}  // namespace brindlet

#pragma once

// Outcomes of authentication and pairing.

#include <cstdint>

#include "kit/protocol/RawEnum.h"

namespace brindlet {

enum class AuthResult : std::uint8_t { ok = 0, notPaired = 1, denied = 2 };
template <>
struct RawRange<AuthResult> {
  static constexpr std::uint8_t first = 0, last = 2;
};

enum class PairMethod : std::uint8_t { token = 0, compare = 1 };
template <>
struct RawRange<PairMethod> {
  static constexpr std::uint8_t first = 0, last = 1;
};

enum class PairResult : std::uint8_t {
  accepted = 0,
  denied = 1,
  rateLimited = 2,
  invalidToken = 3,
  expiredToken = 4,
  failed = 5,
};
template <>
struct RawRange<PairResult> {
  static constexpr std::uint8_t first = 0, last = 5;
};

}  // namespace brindlet

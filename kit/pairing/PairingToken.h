#pragma once

#include <chrono>

#include "base/Bytes.h"

namespace brindlet {

// The one-time secret that the pairing link carries: 16 random bytes, valid for 300 s from
// its issue.
struct PairingToken {
  Bytes value;
  std::chrono::system_clock::time_point expiresAt;

  bool operator==(const PairingToken&) const = default;
};

}  // namespace brindlet

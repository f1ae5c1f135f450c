#pragma once

// The join grant: the host's signed permission for one device key to join its relay session,
// 170 bytes: version 1, SHA-256 of the host key (32), the device key (65), the expiry in
// seconds since 1970 (8, big-endian), and the host's signature over the first 106 bytes.
//
//   Bytes grant = issueRelayJoinGrant(deviceKey, signer, clock.wallNow(), relayGrantValidity);
//   bool good = RelayJoinGrant::verify(grant, hostPublicKey);   // the expiry is not checked here

#include <chrono>
#include <cstdint>
#include <optional>

#include "base/Bytes.h"

namespace brindlet {

class RelaySigner;

struct RelayJoinGrant {
  static constexpr std::size_t size = 170;
  static constexpr std::size_t signedSize = 106;
  static constexpr std::uint8_t version = 1;

  Bytes hkid;             // 32 bytes
  Bytes clientPublicKey;  // 65 bytes
  std::uint64_t expiresAt = 0;

  // Exactly 170 bytes starting with version 1; the signature is not checked.
  static std::optional<RelayJoinGrant> parse(ByteView bytes);
  // Parses, matches the host key's hash and checks the signature; never throws.
  static bool verify(ByteView grant, ByteView hostPublicKey);

  bool operator==(const RelayJoinGrant&) const = default;
};

// Thirty days.
inline constexpr std::chrono::seconds relayGrantValidity{2'592'000};

// The grant for `clientPublicKey`, expiring `validity` after `now` (0 when that lies before
// 1970); throws what the signer throws.
Bytes issueRelayJoinGrant(ByteView clientPublicKey, const RelaySigner& signer,
                          std::chrono::system_clock::time_point now, std::chrono::seconds validity);

// Whole seconds since 1970 of a date, 0 for dates before it.
std::uint64_t unixSeconds(std::chrono::system_clock::time_point date);

}  // namespace brindlet

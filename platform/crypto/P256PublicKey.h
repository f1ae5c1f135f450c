#pragma once

#include <memory>
#include <optional>

#include "base/Bytes.h"

namespace brindlet::platform {

// A P-256 public key for checking ECDSA signatures.
class P256PublicKey {
 public:
  // From the X9.63 uncompressed point (0x04, X, Y: 65 bytes); nothing unless the point
  // lies on the curve.
  static std::optional<P256PublicKey> fromX963(ByteView point);

  const Bytes& x963() const { return x963_; }

  // Checks a raw 64-byte signature (r then s, 32 bytes each, big-endian) of a SHA-256
  // digest, or of a message (hashed with SHA-256 here). Anything malformed is not valid.
  bool verifyDigest(ByteView digest, ByteView signature) const;
  bool verify(ByteView message, ByteView signature) const;

 private:
  struct Impl;
  P256PublicKey(std::shared_ptr<const Impl> impl, Bytes x963);
  std::shared_ptr<const Impl> impl_;
  Bytes x963_;
};

}  // namespace brindlet::platform

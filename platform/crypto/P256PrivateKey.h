#pragma once

#include <memory>
#include <optional>

#include "base/Bytes.h"

namespace brindlet::platform {

// A P-256 signing key held by GnuTLS. Values share one immutable key and may be used from
// any thread.
class P256PrivateKey {
 public:
  // A new random key; throws CryptoError when GnuTLS cannot make one.
  static P256PrivateKey generate();
  // From the unencrypted PKCS#8 DER form that `pkcs8DER()` writes; nothing unless it holds
  // a consistent P-256 key.
  static std::optional<P256PrivateKey> fromPKCS8(ByteView der);
  // From the secret scalar alone (32 bytes, big-endian); nothing unless 0 < d < n.
  static std::optional<P256PrivateKey> fromRawScalar(ByteView scalar);

  // The whole key (scalar and public point) as unencrypted PKCS#8 DER, which GnuTLS and
  // other TLS stacks load directly.
  Bytes pkcs8DER() const;
  // The secret scalar, exactly 32 bytes big-endian.
  Bytes rawScalar() const;
  // The public point in X9.63 uncompressed form: 0x04, X, Y (65 bytes).
  const Bytes& publicKeyX963() const { return publicKeyX963_; }

  // ECDSA with SHA-256. `signDigest` signs a 32-byte digest as the message hash; `sign`
  // hashes the message first. Both give the raw 64-byte form r || s; `signDER` gives the
  // DER SEQUENCE of the two INTEGERs, as certificates carry it. Throw CryptoError.
  Bytes signDigest(ByteView digest) const;
  Bytes sign(ByteView message) const;
  Bytes signDER(ByteView message) const;

 private:
  struct Impl;
  explicit P256PrivateKey(std::shared_ptr<const Impl> impl);
  std::shared_ptr<const Impl> impl_;
  Bytes publicKeyX963_;
};

}  // namespace brindlet::platform

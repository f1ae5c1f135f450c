#pragma once

// The key that proves who signs relay and coordinator messages: the host's key (its
// certificate identity's) or a device's. Signers hold nothing mutable and are shared by every
// task that signs.
//
//   std::shared_ptr<RelaySigner> signer = makeSecKeyRelaySigner(identity);   // the host
//   Bytes signature = signer->sign(RelayWire::registerMessage(cookie, token, signer->publicKey()));
//   bool good = verifyP256Signature(signature, message, signer->publicKey());

#include <memory>
#include <stdexcept>

#include "base/Bytes.h"
#include "platform/crypto/P256PrivateKey.h"

namespace brindlet {

class SelfSignedIdentity;

class RelayCryptoError : public std::runtime_error {
 public:
  enum class Case { keyUnavailable, signingFailed };
  explicit RelayCryptoError(Case kind);
  Case kind() const { return kind_; }

 private:
  Case kind_;
};

class RelaySigner {
 public:
  virtual ~RelaySigner() = default;
  // The P-256 public key, X9.63 uncompressed: 65 bytes, first byte 0x04.
  virtual const Bytes& publicKey() const = 0;
  // ECDSA P-256 over the SHA-256 digest of `message`, raw r || s (64 bytes); throws
  // RelayCryptoError(signingFailed).
  virtual Bytes sign(ByteView message) const = 0;
};

// The host's signer: its identity's key as the key store holds it.
class SecKeyRelaySigner final : public RelaySigner {
 public:
  // Throws keyUnavailable when the key's public half is not a 65-byte X9.63 point.
  explicit SecKeyRelaySigner(platform::P256PrivateKey key);
  const Bytes& publicKey() const override { return publicKeyX963_; }
  Bytes sign(ByteView message) const override;

 private:
  platform::P256PrivateKey key_;
  Bytes publicKeyX963_;
};

// A device's signer over a software key.
class P256RelaySigner final : public RelaySigner {
 public:
  explicit P256RelaySigner(platform::P256PrivateKey key);
  const Bytes& publicKey() const override { return key_.publicKeyX963(); }
  Bytes sign(ByteView message) const override;

 private:
  platform::P256PrivateKey key_;
};

// The host's signer from its certificate identity; throws keyUnavailable.
std::shared_ptr<RelaySigner> makeSecKeyRelaySigner(const SelfSignedIdentity& identity);

// False for a signature that is not 64 bytes, a key that is not a P-256 X9.63 point, or a
// signature that does not check; never throws.
bool verifyP256Signature(ByteView signature, ByteView message, ByteView publicKey);

}  // namespace brindlet

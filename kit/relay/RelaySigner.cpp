#include "kit/relay/RelaySigner.h"

#include "kit/pairing/SelfSignedIdentity.h"
#include "kit/relay/RelayWire.h"
#include "platform/crypto/P256PublicKey.h"

namespace brindlet {
namespace {

const char* describe(RelayCryptoError::Case kind) {
  return kind == RelayCryptoError::Case::keyUnavailable ? "the relay signing key is not available" : "signing failed";
}

Bytes signRaw(const platform::P256PrivateKey& key, ByteView message) {
  try {
    Bytes signature = key.sign(message);
    if (signature.size() != RelayWire::signatureSize) throw RelayCryptoError(RelayCryptoError::Case::signingFailed);
    return signature;
  } catch (const RelayCryptoError&) {
    throw;
  } catch (const std::exception&) {
    throw RelayCryptoError(RelayCryptoError::Case::signingFailed);
  }
}

}  // namespace

RelayCryptoError::RelayCryptoError(Case kind) : std::runtime_error(describe(kind)), kind_(kind) {}

SecKeyRelaySigner::SecKeyRelaySigner(platform::P256PrivateKey key) : key_(std::move(key)) {
  const Bytes& point = key_.publicKeyX963();
  if (point.size() != RelayWire::publicKeySize || point[0] != 0x04)
    throw RelayCryptoError(RelayCryptoError::Case::keyUnavailable);
  publicKeyX963_ = point;
}

Bytes SecKeyRelaySigner::sign(ByteView message) const { return signRaw(key_, message); }

P256RelaySigner::P256RelaySigner(platform::P256PrivateKey key) : key_(std::move(key)) {}

Bytes P256RelaySigner::sign(ByteView message) const { return signRaw(key_, message); }

std::shared_ptr<RelaySigner> makeSecKeyRelaySigner(const SelfSignedIdentity& identity) {
  return std::make_shared<SecKeyRelaySigner>(identity.privateKey());
}

bool verifyP256Signature(ByteView signature, ByteView message, ByteView publicKey) {
  if (signature.size() != RelayWire::signatureSize) return false;
  auto key = platform::P256PublicKey::fromX963(publicKey);
  if (!key) return false;
  return key->verify(message, signature);
}

}  // namespace brindlet

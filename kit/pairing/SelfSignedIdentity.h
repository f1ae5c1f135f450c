#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/Bytes.h"
#include "platform/crypto/P256PrivateKey.h"
#include "platform/crypto/TLSIdentity.h"
#include "platform/keychain/Keychain.h"

namespace brindlet {

// Why a host identity could not be loaded or made.
class IdentityError : public std::runtime_error {
 public:
  enum class Case { keyGeneration, keychain, certificate };

  // Key generation, public-key export or signing failed; the text says why.
  static IdentityError keyGeneration(const std::string& reason);
  // A keychain call failed with this status (also when an existing identity could not be
  // read back: an unreadable item is never taken as a missing one). The description adds
  // `detail` when there is one: which item, which file, which system error.
  static IdentityError keychain(std::int32_t status, const std::string& detail = "");
  // The built certificate did not parse.
  static IdentityError certificate();

  Case kind() const { return kind_; }
  const std::string& reason() const { return reason_; }
  std::int32_t status() const { return status_; }

 private:
  IdentityError(Case kind, std::string reason, std::int32_t status, const std::string& text);
  Case kind_;
  std::string reason_;
  std::int32_t status_;
};

// The host's TLS identity: a P-256 key in the keychain and a self-signed certificate over
// it, with the certificate's SHA-256 fingerprint that devices pin. A throw-away identity
// (not persistent) removes its keychain items when it is released.
class SelfSignedIdentity {
 public:
  ~SelfSignedIdentity();
  SelfSignedIdentity(const SelfSignedIdentity&) = delete;
  SelfSignedIdentity& operator=(const SelfSignedIdentity&) = delete;

  // Certificate and private key for the TLS layer, which takes both as DER bytes
  // (makeQUICParameters hands them over).
  const platform::TLSIdentity identity;
  const Bytes certificateDER;  // the exact DER of the certificate
  const Bytes fingerprint;     // SHA-256 of certificateDER, 32 bytes
  const Bytes tag;             // UTF-8 bytes of the label the items are stored under
  const bool isPersistent;

  // The private key, e.g. for signing relay messages with the host key.
  const platform::P256PrivateKey& privateKey() const { return identity.privateKey; }

 private:
  friend std::shared_ptr<SelfSignedIdentity> createSelfSignedIdentity(const std::string&, bool, const std::string&,
                                                                      const platform::Keychain&);
  SelfSignedIdentity(platform::TLSIdentity identity, Bytes tag, bool persistent, platform::Keychain keychain);
  platform::Keychain keychain_;
};

// Loads the identity stored under `label`, or makes and stores one when none is stored.
// Only a missing item leads to a new identity; any other keychain failure throws
// IdentityError::keychain, so a passing fault never changes the host's fingerprint.
std::shared_ptr<SelfSignedIdentity> createSelfSignedIdentity(
    const std::string& label, bool persistent, const std::string& commonName,
    const platform::Keychain& keychain = platform::Keychain::standard());

// The host's lasting identity.
std::shared_ptr<SelfSignedIdentity> loadOrCreateHostIdentity(
    const std::string& label, const std::string& commonName,
    const platform::Keychain& keychain = platform::Keychain::standard());

// A throw-away identity under the label "app.nolu.identity." and a fresh UUID.
std::shared_ptr<SelfSignedIdentity> makeEphemeralIdentity(
    const std::string& commonName, const platform::Keychain& keychain = platform::Keychain::standard());

// The application label (public-key hash) of the key stored under `tag`; nothing when there
// is no such key. Throws IdentityError::keychain for any other failure.
std::optional<Bytes> findIdentityKey(ByteView tag, const platform::Keychain& keychain);

// The stored identity for a label and its certificate's DER; nothing when a piece is
// missing. Throws IdentityError::keychain for any other failure.
std::optional<std::pair<platform::TLSIdentity, Bytes>> findIdentityCertificate(const std::string& label,
                                                                               const platform::Keychain& keychain);

// Removes every item of an identity (results ignored).
void deleteIdentityItems(ByteView tag, const platform::Keychain& keychain);
void deleteIdentityItems(const std::string& label, const platform::Keychain& keychain);

// The complete DER GeneralizedTime element of a date: 0x18 0x0F "YYYYMMDDHHMMSSZ" (UTC,
// seconds truncated).
Bytes formatCertificateTime(std::chrono::system_clock::time_point date);

// The certificate's two halves: the to-be-signed structure (version 3, the serial as an
// INTEGER, ecdsa-with-SHA256, issuer = subject = CN=commonName as UTF8String, GeneralizedTime
// validity, the P-256 key; no extensions), and the certificate around it with the DER
// signature of the to-be-signed bytes.
Bytes buildTBSCertificate(ByteView serial, std::chrono::system_clock::time_point notBefore,
                          std::chrono::system_clock::time_point notAfter, const std::string& commonName,
                          ByteView publicKeyX963);
Bytes wrapCertificate(ByteView tbs, ByteView signatureDER);

}  // namespace brindlet

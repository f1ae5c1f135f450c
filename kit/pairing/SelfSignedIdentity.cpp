#include "kit/pairing/SelfSignedIdentity.h"

#include <ctime>
#include <mutex>

#include "kit/support/UUID.h"
#include "platform/crypto/CryptoError.h"
#include "platform/crypto/Digest.h"
#include "platform/crypto/SecureRandom.h"
#include "platform/crypto/X509Certificate.h"

namespace brindlet {

using platform::KeychainStatus;

namespace {

std::string describe(IdentityError::Case kind, const std::string& reason, std::int32_t status,
                     const std::string& detail = "") {
  switch (kind) {
    case IdentityError::Case::keyGeneration:
      return "The host key could not be made (" + reason + ")";
    case IdentityError::Case::keychain:
      return "The keychain failed (status " + std::to_string(status) + ")" + (detail.empty() ? "" : ": " + detail);
    case IdentityError::Case::certificate:
      return "The host certificate could not be read";
  }
  return "";
}

// DER building blocks.
void append(Bytes& out, ByteView part) { out.insert(out.end(), part.begin(), part.end()); }

Bytes element(std::uint8_t tag, ByteView contents) {
  Bytes out{tag};
  std::size_t n = contents.size();
  if (n < 128) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    Bytes length;
    for (; n > 0; n >>= 8) length.insert(length.begin(), static_cast<std::uint8_t>(n & 0xff));
    out.push_back(static_cast<std::uint8_t>(0x80 + length.size()));
    append(out, length);
  }
  append(out, contents);
  return out;
}

Bytes concat(std::initializer_list<ByteView> parts) {
  Bytes out;
  for (auto part : parts) append(out, part);
  return out;
}

Bytes integer(ByteView value) {
  std::size_t skip = 0;
  while (skip < value.size() && value[skip] == 0) ++skip;
  Bytes contents(value.begin() + static_cast<std::ptrdiff_t>(skip), value.end());
  if (contents.empty() || (contents[0] & 0x80)) contents.insert(contents.begin(), 0x00);
  return element(0x02, contents);
}

const Bytes ecdsaWithSHA256 = {0x30, 0x0A, 0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02};
const Bytes p256KeyInfoPrefix = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                                 0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

Bytes name(const std::string& commonName) {
  Bytes commonNameOID = {0x06, 0x03, 0x55, 0x04, 0x03};
  Bytes attribute = element(0x30, concat({commonNameOID, element(0x0C, bytesOf(commonName))}));
  return element(0x30, element(0x31, attribute));
}

std::string labelOf(ByteView tag) { return std::string(tag.begin(), tag.end()); }

std::shared_ptr<SelfSignedIdentity> adopt(SelfSignedIdentity* identity) {
  return std::shared_ptr<SelfSignedIdentity>(identity);
}

}  // namespace

IdentityError::IdentityError(Case kind, std::string reason, std::int32_t status, const std::string& text)
    : std::runtime_error(text), kind_(kind), reason_(std::move(reason)), status_(status) {}

IdentityError IdentityError::keyGeneration(const std::string& reason) {
  return IdentityError(Case::keyGeneration, reason, 0, describe(Case::keyGeneration, reason, 0));
}

IdentityError IdentityError::keychain(std::int32_t status, const std::string& detail) {
  return IdentityError(Case::keychain, "", status, describe(Case::keychain, "", status, detail));
}

IdentityError IdentityError::certificate() {
  return IdentityError(Case::certificate, "", 0, describe(Case::certificate, "", 0));
}

Bytes formatCertificateTime(std::chrono::system_clock::time_point date) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(date));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec);
  return element(0x18, bytesOf(text));
}

Bytes buildTBSCertificate(ByteView serial, std::chrono::system_clock::time_point notBefore,
                          std::chrono::system_clock::time_point notAfter, const std::string& commonName,
                          ByteView publicKeyX963) {
  const Bytes version = {0xA0, 0x03, 0x02, 0x01, 0x02};
  Bytes subject = name(commonName);
  Bytes validity = element(0x30, concat({formatCertificateTime(notBefore), formatCertificateTime(notAfter)}));
  Bytes keyInfo = concat({p256KeyInfoPrefix, publicKeyX963});
  return element(0x30, concat({version, integer(serial), ecdsaWithSHA256, subject, validity, subject, keyInfo}));
}

Bytes wrapCertificate(ByteView tbs, ByteView signatureDER) {
  Bytes bitString{0x00};
  append(bitString, signatureDER);
  return element(0x30, concat({tbs, ecdsaWithSHA256, element(0x03, bitString)}));
}

// Keychain lookups.

std::optional<Bytes> findIdentityKey(ByteView tag, const platform::Keychain& keychain) {
  std::lock_guard guard(platform::keychainLock());
  auto key = keychain.copyKey(tag);
  if (key.status == KeychainStatus::itemNotFound) return std::nullopt;
  if (key.status != KeychainStatus::success)
    throw IdentityError::keychain(key.status, platform::Keychain::lastFailure());
  return key.value->applicationLabel;
}

std::optional<std::pair<platform::TLSIdentity, Bytes>> findIdentityCertificate(const std::string& label,
                                                                               const platform::Keychain& keychain) {
  std::lock_guard guard(platform::keychainLock());
  auto hash = findIdentityKey(bytesOf(label), keychain);
  if (!hash) return std::nullopt;
  auto certificate = keychain.copyCertificate(*hash);
  if (certificate.status == KeychainStatus::itemNotFound) return std::nullopt;
  if (certificate.status != KeychainStatus::success)
    throw IdentityError::keychain(certificate.status, platform::Keychain::lastFailure());
  auto identity = keychain.copyIdentity(*certificate.value);
  if (identity.status == KeychainStatus::itemNotFound) return std::nullopt;
  if (identity.status != KeychainStatus::success)
    throw IdentityError::keychain(identity.status, platform::Keychain::lastFailure());
  Bytes der = certificate.value->der;
  return std::make_pair(std::move(*identity.value), std::move(der));
}

void deleteIdentityItems(ByteView tag, const platform::Keychain& keychain) {
  std::lock_guard guard(platform::keychainLock());
  try {
    if (auto hash = findIdentityKey(tag, keychain)) keychain.deleteCertificates(*hash);
  } catch (const IdentityError&) {
  }
  keychain.deleteKeys(tag);
  keychain.deleteCertificatesLabelled(labelOf(tag));
}

void deleteIdentityItems(const std::string& label, const platform::Keychain& keychain) {
  deleteIdentityItems(bytesOf(label), keychain);
}

// The identity.

SelfSignedIdentity::SelfSignedIdentity(platform::TLSIdentity tlsIdentity, Bytes tagBytes, bool persistent,
                                       platform::Keychain keychain)
    : identity(std::move(tlsIdentity)),
      certificateDER(identity.certificateDER),
      fingerprint(platform::sha256(certificateDER)),
      tag(std::move(tagBytes)),
      isPersistent(persistent),
      keychain_(std::move(keychain)) {}

SelfSignedIdentity::~SelfSignedIdentity() {
  if (!isPersistent) deleteIdentityItems(tag, keychain_);
}

std::shared_ptr<SelfSignedIdentity> createSelfSignedIdentity(const std::string& label, bool persistent,
                                                             const std::string& commonName,
                                                             const platform::Keychain& keychain) {
  Bytes tag = bytesOf(label);
  std::lock_guard guard(platform::keychainLock());

  if (persistent) {
    // Only a missing piece leads on to a new identity; a failure to read one throws.
    if (auto stored = findIdentityCertificate(label, keychain))
      return adopt(new SelfSignedIdentity(std::move(stored->first), tag, true, keychain));
    deleteIdentityItems(tag, keychain);
  }

  std::optional<platform::P256PrivateKey> key;
  try {
    key = platform::P256PrivateKey::generate();
  } catch (const platform::CryptoError& error) {
    throw IdentityError::keyGeneration(error.what());
  }
  if (std::int32_t status = keychain.addKey(tag, label, *key); status != KeychainStatus::success)
    throw IdentityError::keychain(status, platform::Keychain::lastFailure());
  Bytes publicKey = key->publicKeyX963();
  if (publicKey.size() != 65) throw IdentityError::keyGeneration("public key");

  Bytes serial = platform::secureRandomBytes(16);
  serial[0] &= 0x7f;
  auto now = std::chrono::system_clock::now();
  Bytes tbs = buildTBSCertificate(serial, now - std::chrono::seconds(3600), now + std::chrono::seconds(315360000),
                                  commonName, publicKey);

  auto fail = [&](IdentityError error) {
    deleteIdentityItems(tag, keychain);
    return error;
  };
  Bytes signature;
  try {
    signature = key->signDER(tbs);
  } catch (const platform::CryptoError& error) {
    throw fail(IdentityError::keyGeneration(error.what()));
  }
  Bytes der = wrapCertificate(tbs, signature);
  if (!platform::X509Certificate::parse(der)) throw fail(IdentityError::certificate());
  if (std::int32_t status = keychain.addCertificate(label, der); status != KeychainStatus::success)
    throw fail(IdentityError::keychain(status, platform::Keychain::lastFailure()));
  auto certificate = keychain.copyCertificate(platform::Keychain::publicKeyHash(publicKey));
  if (certificate.status != KeychainStatus::success)
    throw fail(IdentityError::keychain(certificate.status, platform::Keychain::lastFailure()));
  auto identity = keychain.copyIdentity(*certificate.value);
  if (identity.status != KeychainStatus::success)
    throw fail(IdentityError::keychain(identity.status, platform::Keychain::lastFailure()));
  return adopt(new SelfSignedIdentity(std::move(*identity.value), tag, persistent, keychain));
}

std::shared_ptr<SelfSignedIdentity> loadOrCreateHostIdentity(const std::string& label, const std::string& commonName,
                                                             const platform::Keychain& keychain) {
  return createSelfSignedIdentity(label, true, commonName, keychain);
}

std::shared_ptr<SelfSignedIdentity> makeEphemeralIdentity(const std::string& commonName,
                                                          const platform::Keychain& keychain) {
  return createSelfSignedIdentity("app.nolu.identity." + UUID::random().uuidString(), false, commonName, keychain);
}

}  // namespace brindlet

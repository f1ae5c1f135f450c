#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "base/Bytes.h"
#include "platform/crypto/P256PrivateKey.h"
#include "platform/crypto/TLSIdentity.h"

namespace brindlet::platform {

// Results of keychain calls. "Item not found" has its own code, apart from every failure.
struct KeychainStatus {
  static constexpr std::int32_t success = 0;
  static constexpr std::int32_t itemNotFound = -25300;
  static constexpr std::int32_t duplicateItem = -25299;
  static constexpr std::int32_t ioFailure = -36;         // the item's file could not be read or written
  static constexpr std::int32_t invalidParameter = -50;  // e.g. a certificate that does not parse
  static constexpr std::int32_t invalidItem = -26275;    // a stored item that cannot be decoded
};

template <class T>
struct KeychainResult {
  std::int32_t status = KeychainStatus::itemNotFound;
  std::optional<T> value;  // set exactly when status is success
};

// The one process-wide recursive lock that serialises keychain work. Every call below takes
// it; callers that make several calls into one operation hold it across them.
std::recursive_mutex& keychainLock();

// The user's keychain: one file per item in an owner-only folder (0700, files 0600), each
// written atomically. Items are generic passwords (service, account), private keys (found
// by application tag) and certificates (found by the hash of their public key, or by
// label). A key's application label is the hash of its public key, the same hash that a
// certificate over that key is recorded under, which ties the two into an identity.
class Keychain {
 public:
  explicit Keychain(std::filesystem::path folder);
  // The user's keychain: the folder "Keychain" under "Nolu" in the Application Support
  // (XDG data) folder, resolved when called.
  static Keychain standard();
  const std::filesystem::path& folder() const { return folder_; }

  KeychainResult<Bytes> copyGenericPassword(const std::string& service, const std::string& account) const;
  std::int32_t addGenericPassword(const std::string& service, const std::string& account, ByteView data) const;
  std::int32_t updateGenericPassword(const std::string& service, const std::string& account, ByteView data) const;
  std::int32_t deleteGenericPassword(const std::string& service, const std::string& account) const;

  struct KeyItem {
    Bytes applicationTag;
    std::string label;
    Bytes applicationLabel;
    P256PrivateKey key;
  };
  std::int32_t addKey(ByteView applicationTag, const std::string& label, const P256PrivateKey& key) const;
  KeychainResult<KeyItem> copyKey(ByteView applicationTag) const;
  std::int32_t deleteKeys(ByteView applicationTag) const;

  struct CertificateItem {
    std::string label;
    Bytes publicKeyHash;
    Bytes der;
  };
  std::int32_t addCertificate(const std::string& label, ByteView der) const;
  KeychainResult<CertificateItem> copyCertificate(ByteView publicKeyHash) const;
  std::int32_t deleteCertificates(ByteView publicKeyHash) const;
  std::int32_t deleteCertificatesLabelled(const std::string& label) const;

  // The identity of a stored certificate: it and the stored key with the same public key.
  KeychainResult<TLSIdentity> copyIdentity(const CertificateItem& certificate) const;

  // Why the last call of this thread failed, in words: the item, its file and the system's
  // error ("the key item /home/.../key-3f0a could not be read: Permission denied"); empty
  // after a call that did not fail (or failed only by not finding the item).
  static std::string lastFailure();

  // The hash under which keys and certificates of a public key (X9.63 point) are recorded.
  static Bytes publicKeyHash(ByteView publicKeyX963);

 private:
  std::filesystem::path itemPath(std::string_view kind, ByteView identifying) const;
  std::int32_t store(const std::filesystem::path& file, const std::string& content, bool exclusive) const;
  std::int32_t remove(const std::filesystem::path& file) const;

  std::filesystem::path folder_;
};

}  // namespace brindlet::platform

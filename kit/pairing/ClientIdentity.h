#pragma once

#include <optional>

#include "kit/pairing/KeychainSecretStore.h"
#include "kit/pairing/SecretStore.h"
#include "base/Bytes.h"
#include "kit/support/UUID.h"
#include "platform/crypto/P256PrivateKey.h"

namespace brindlet {

// A device's long-term identity: its permanent ID and its P-256 signing key. Stored as 48
// bytes: the ID's 16 bytes, then the key's secret scalar (32 bytes, big-endian).
struct ClientIdentity {
  UUID deviceID;
  platform::P256PrivateKey privateKey;

  // The public key in X9.63 form (0x04, X, Y: 65 bytes).
  const Bytes& publicKeyX963() const { return privateKey.publicKeyX963(); }

  // The 48-byte stored form.
  Bytes data() const;
  // Parses the stored form: nothing unless exactly 48 bytes whose last 32 are a valid
  // P-256 private key.
  static std::optional<ClientIdentity> fromData(ByteView data);

  // The identity kept in the store, made and saved on first use (also when the stored
  // value does not parse). Store failures throw SecretStoreError.
  static ClientIdentity loadOrCreate(SecretStore& store);

  // The device's keychain item: service "io.tavix.nolu.client", account "identity".
  static KeychainSecretStore defaultStore();
};

}  // namespace brindlet

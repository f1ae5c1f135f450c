#include "kit/pairing/ClientIdentity.h"

#include <algorithm>

namespace brindlet {

Bytes ClientIdentity::data() const {
  Bytes out(deviceID.bytes.begin(), deviceID.bytes.end());
  Bytes scalar = privateKey.rawScalar();
  out.insert(out.end(), scalar.begin(), scalar.end());
  std::fill(scalar.begin(), scalar.end(), 0);
  return out;
}

std::optional<ClientIdentity> ClientIdentity::fromData(ByteView data) {
  if (data.size() != 48) return std::nullopt;
  auto key = platform::P256PrivateKey::fromRawScalar(data.subspan(16, 32));
  if (!key) return std::nullopt;
  UUID id;
  std::copy_n(data.begin(), 16, id.bytes.begin());
  return ClientIdentity{id, *key};
}

ClientIdentity ClientIdentity::loadOrCreate(SecretStore& store) {
  if (auto stored = store.load()) {
    auto identity = fromData(*stored);
    std::fill(stored->begin(), stored->end(), 0);
    if (identity) return *identity;
  }
  ClientIdentity identity{UUID::random(), platform::P256PrivateKey::generate()};
  Bytes stored = identity.data();
  store.save(stored);
  std::fill(stored.begin(), stored.end(), 0);
  return identity;
}

KeychainSecretStore ClientIdentity::defaultStore() { return KeychainSecretStore("io.tavix.nolu.client", "identity"); }

}  // namespace brindlet

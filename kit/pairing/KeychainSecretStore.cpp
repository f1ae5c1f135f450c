#include "kit/pairing/KeychainSecretStore.h"

#include <mutex>

namespace brindlet {

using platform::KeychainStatus;

SecretStoreError::SecretStoreError(std::int32_t status)
    : std::runtime_error("keychain status " + std::to_string(status)), status_(status) {}

KeychainSecretStore::KeychainSecretStore(std::string service, std::string account, platform::Keychain keychain)
    : service(std::move(service)), account(std::move(account)), keychain_(std::move(keychain)) {}

std::optional<Bytes> KeychainSecretStore::load() {
  std::lock_guard guard(platform::keychainLock());
  auto result = keychain_.copyGenericPassword(service, account);
  if (result.status == KeychainStatus::itemNotFound) return std::nullopt;
  if (result.status != KeychainStatus::success) throw SecretStoreError::keychain(result.status);
  return std::move(result.value);
}

void KeychainSecretStore::save(ByteView data) {
  std::lock_guard guard(platform::keychainLock());
  std::int32_t status = keychain_.updateGenericPassword(service, account, data);
  if (status == KeychainStatus::success) return;
  if (status != KeychainStatus::itemNotFound) throw SecretStoreError::keychain(status);
  status = keychain_.addGenericPassword(service, account, data);
  if (status != KeychainStatus::success) throw SecretStoreError::keychain(status);
}

void KeychainSecretStore::remove() {
  std::lock_guard guard(platform::keychainLock());
  keychain_.deleteGenericPassword(service, account);
}

}  // namespace brindlet

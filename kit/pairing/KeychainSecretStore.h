#pragma once

#include <string>

#include "kit/pairing/SecretStore.h"
#include "platform/keychain/Keychain.h"

namespace brindlet {

// A secret kept as the generic-password item (service, account) of the user's keychain.
// Every operation holds the process-wide keychain lock for its whole duration.
class KeychainSecretStore final : public SecretStore {
 public:
  KeychainSecretStore(std::string service, std::string account,
                      platform::Keychain keychain = platform::Keychain::standard());

  std::optional<Bytes> load() override;
  void save(ByteView data) override;
  void remove() override;

  const std::string service;
  const std::string account;

 private:
  platform::Keychain keychain_;
};

}  // namespace brindlet

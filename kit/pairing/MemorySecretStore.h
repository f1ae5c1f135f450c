#pragma once

#include <mutex>

#include "kit/pairing/SecretStore.h"

namespace brindlet {

// A secret held in memory, for tests; never fails.
class MemorySecretStore final : public SecretStore {
 public:
  MemorySecretStore() = default;

  std::optional<Bytes> load() override;
  void save(ByteView data) override;
  void remove() override;

 private:
  std::mutex lock_;
  std::optional<Bytes> data_;
};

}  // namespace brindlet

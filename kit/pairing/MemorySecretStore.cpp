#include "kit/pairing/MemorySecretStore.h"

namespace brindlet {

std::optional<Bytes> MemorySecretStore::load() {
  std::lock_guard guard(lock_);
  return data_;
}

void MemorySecretStore::save(ByteView data) {
  std::lock_guard guard(lock_);
  data_ = Bytes(data.begin(), data.end());
}

void MemorySecretStore::remove() {
  std::lock_guard guard(lock_);
  data_.reset();
}

}  // namespace brindlet

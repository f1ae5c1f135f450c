#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>

#include "base/Bytes.h"

namespace brindlet {

// A keychain call of a secret store failed with this status (never "item not found").
class SecretStoreError : public std::runtime_error {
 public:
  static SecretStoreError keychain(std::int32_t status) { return SecretStoreError(status); }
  std::int32_t status() const { return status_; }
  bool operator==(const SecretStoreError& other) const { return status_ == other.status_; }

 private:
  explicit SecretStoreError(std::int32_t status);
  std::int32_t status_;
};

// A store bound to exactly one secret item, fixed when the store is made.
class SecretStore {
 public:
  virtual ~SecretStore() = default;
  // The stored bytes, or nothing when nothing is stored. Throws SecretStoreError.
  virtual std::optional<Bytes> load() = 0;
  // Stores the bytes in place of any previous value. Throws SecretStoreError.
  virtual void save(ByteView data) = 0;
  // Removes the item; never fails (removing a missing item is fine).
  virtual void remove() = 0;
};

}  // namespace brindlet

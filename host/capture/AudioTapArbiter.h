#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "kit/support/UUID.h"

namespace brindlet::host {

// The one owner of the system-wide audio tap, shared by every session of the application
// (the composition root makes one): a session that claims it revokes the audio of the
// session that held it before.
class AudioTapArbiter {
 public:
  using Revoke = std::function<void()>;

  // Makes `id` the owner; the previous owner's `revoke` runs (outside the lock) when it was
  // another one. A repeated claim with the same id only replaces its closure.
  void claim(const UUID& id, Revoke revoke) {
    std::optional<std::pair<UUID, Revoke>> previous;
    {
      std::lock_guard lock(mutex_);
      previous = std::exchange(owner_, std::make_pair(id, std::move(revoke)));
    }
    if (previous && previous->first != id && previous->second) previous->second();
  }

  // Frees the tap when `id` owns it; a release by anyone else changes nothing.
  void release(const UUID& id) {
    std::lock_guard lock(mutex_);
    if (owner_ && owner_->first == id) owner_.reset();
  }

  std::optional<UUID> ownerID() const {
    std::lock_guard lock(mutex_);
    if (!owner_) return std::nullopt;
    return owner_->first;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<std::pair<UUID, Revoke>> owner_;
};

}  // namespace brindlet::host

#pragma once

#include <cstdint>
#include <mutex>

namespace brindlet::host {

// The clipboard change count that the session has already seen or produced itself, shared
// between its clipboard poll and its handlers so the device never gets its own text back.
class ChangeCountBox {
 public:
  std::int64_t get() const {
    std::lock_guard lock(mutex_);
    return count_;
  }
  void set(std::int64_t count) {
    std::lock_guard lock(mutex_);
    count_ = count;
  }

 private:
  mutable std::mutex mutex_;
  std::int64_t count_ = 0;
};

}  // namespace brindlet::host

#pragma once

#include <mutex>
#include <optional>

#include "base/Geometry.h"

namespace brindlet::host {

// Where and when the device last pressed a mouse button, so that a text focus that follows
// can be told apart as one made by a click. Shared by pointer handling and text focus.
class ClickRecord {
 public:
  struct Click {
    Point point;      // global points
    double time = 0;  // seconds of system uptime

    bool operator==(const Click&) const = default;
  };

  void record(Click click) {
    std::lock_guard lock(mutex_);
    click_ = click;
  }
  // The last click, which is forgotten.
  std::optional<Click> take() {
    std::lock_guard lock(mutex_);
    auto click = click_;
    click_.reset();
    return click;
  }
  std::optional<Click> peek() const {
    std::lock_guard lock(mutex_);
    return click_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<Click> click_;
};

}  // namespace brindlet::host

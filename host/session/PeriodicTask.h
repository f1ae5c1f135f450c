#pragma once

// The loop of a feature's periodic task: `operation` of the feature every `interval` of
// `clock`, the first time at once (`runFirst`) or after one interval. The task holds the
// feature weakly, locking it only for each run, and ends when the feature is gone or the
// task is cancelled.

#include <memory>

#include "base/Clock.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

template <class Feature>
asio::awaitable<void> repeatEvery(std::weak_ptr<Feature> weak, std::shared_ptr<Clock> clock, Clock::Duration interval,
                                  bool runFirst, asio::awaitable<void> (Feature::*operation)()) {
  for (bool first = true;; first = false) {
    if (!first || !runFirst) co_await clock->sleep(interval);
    auto self = weak.lock();
    if (!self) co_return;
    co_await ((*self).*operation)();
  }
}

}  // namespace brindlet::host

#pragma once
// Debounced fan-out of changes that carry no data: after a burst of notify() calls closer
// together than `debounce`, every subscriber gets one event `debounce` after the last call. A
// subscriber that does not read holds at most one pending event.
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "kit/support/AsyncStream.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/support/Task.h"

namespace brindlet::host {

struct Change {};

class ChangeBroadcaster : public std::enable_shared_from_this<ChangeBroadcaster> {
 public:
  static constexpr std::chrono::milliseconds defaultDebounce{400};

  // Fires on a strand of its own on `executor`.
  static std::shared_ptr<ChangeBroadcaster> make(const Executor& executor, std::shared_ptr<Clock> clock,
                                                 Clock::Duration debounce = defaultDebounce);
  ~ChangeBroadcaster();

  // A new subscription; finishing the stream unsubscribes it.
  AsyncStream<Change> changes();
  // Any thread.
  void notify();
  void setDebounce(Clock::Duration debounce);
  size_t subscriberCount();

 private:
  ChangeBroadcaster(const Executor& executor, std::shared_ptr<Clock> clock, Clock::Duration debounce)
      : strand_(makeStrand(executor)), clock_(std::move(clock)), debounce_(debounce) {}
  static asio::awaitable<void> fireAfter(std::weak_ptr<ChangeBroadcaster> broadcaster, std::shared_ptr<Clock> clock,
                                         Clock::Duration delay);
  void fire();

  Strand strand_;
  std::shared_ptr<Clock> clock_;
  std::mutex lock_;
  std::vector<AsyncStream<Change>> subscribers_;
  Task pending_;
  Clock::Duration debounce_;
};

}  // namespace brindlet::host

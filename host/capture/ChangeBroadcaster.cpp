#include "host/capture/ChangeBroadcaster.h"

#include <algorithm>

namespace brindlet::host {

std::shared_ptr<ChangeBroadcaster> ChangeBroadcaster::make(const Executor& executor, std::shared_ptr<Clock> clock,
                                                           Clock::Duration debounce) {
  return std::shared_ptr<ChangeBroadcaster>(new ChangeBroadcaster(executor, std::move(clock), debounce));
}

ChangeBroadcaster::~ChangeBroadcaster() { pending_.cancel(); }

AsyncStream<Change> ChangeBroadcaster::changes() {
  AsyncStream<Change> stream;
  std::lock_guard guard(lock_);
  subscribers_.push_back(stream);
  return stream;
}

void ChangeBroadcaster::notify() {
  std::lock_guard guard(lock_);
  // Replacing the pending fire cancels it: only the last of a burst fires.
  pending_ = Task::spawn(strand_, fireAfter(weak_from_this(), clock_, debounce_));
}

void ChangeBroadcaster::setDebounce(Clock::Duration debounce) {
  std::lock_guard guard(lock_);
  debounce_ = debounce;
}

size_t ChangeBroadcaster::subscriberCount() {
  std::lock_guard guard(lock_);
  subscribers_.erase(std::remove_if(subscribers_.begin(), subscribers_.end(),
                                    [](const AsyncStream<Change>& s) { return s.isFinished(); }),
                     subscribers_.end());
  return subscribers_.size();
}

asio::awaitable<void> ChangeBroadcaster::fireAfter(std::weak_ptr<ChangeBroadcaster> broadcaster,
                                                   std::shared_ptr<Clock> clock, Clock::Duration delay) {
  co_await clock->sleep(delay);
  if (auto self = broadcaster.lock()) self->fire();
}

void ChangeBroadcaster::fire() {
  std::vector<AsyncStream<Change>> subscribers;
  {
    std::lock_guard guard(lock_);
    subscribers_.erase(std::remove_if(subscribers_.begin(), subscribers_.end(),
                                      [](const AsyncStream<Change>& s) { return s.isFinished(); }),
                       subscribers_.end());
    subscribers = subscribers_;
  }
  for (const auto& s : subscribers) {
    if (s.count() == 0) s.yield(Change{});  // at most one pending event each
  }
}

}  // namespace brindlet::host

#include "kit/support/ManualClock.h"

#include "kit/support/detail/Parked.h"

#include <asio/async_result.hpp>
#include <asio/error.hpp>
#include <asio/use_awaitable.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace brindlet {

using Sleeper = detail::Parked<std::error_code>;
using SleeperKey = std::pair<Clock::Duration, std::uint64_t>;  // deadline, then arrival

struct ManualClock::State : std::enable_shared_from_this<ManualClock::State> {
  mutable std::mutex mutex;
  Duration continuous;
  Duration uptime;
  std::chrono::system_clock::time_point wall;
  std::map<SleeperKey, Sleeper> sleepers;
  std::uint64_t lastID = 0;

  // Runs on the sleeping coroutine's strand, inside its co_await; cancellation is delivered
  // on the same strand, so it finds the sleeper parked together with its handler.
  template <class Handler>
  void park(Duration duration, Handler handler) {
    Sleeper sleeper(std::move(handler));
    {
      std::lock_guard lock(mutex);
      if (duration > Duration::zero()) {
        SleeperKey key{continuous + duration, ++lastID};
        auto slot = sleeper.cancellationSlot();
        sleepers.emplace(key, std::move(sleeper));
        if (slot.is_connected()) {
          slot.emplace<CancelSleeper>(weak_from_this(), key);
        }
        return;
      }
    }
    sleeper.resume(std::error_code());
  }

  void cancel(const SleeperKey& key) {
    Sleeper taken;
    {
      std::lock_guard lock(mutex);
      auto it = sleepers.find(key);
      if (it == sleepers.end()) return;
      taken = std::move(it->second);
      sleepers.erase(it);
    }
    taken.resume(asio::error::operation_aborted);
  }

  void move(Duration by, bool uptimeMoves) {
    std::vector<Sleeper> due;
    {
      std::lock_guard lock(mutex);
      if (by < Duration::zero()) by = Duration::zero();
      continuous += by;
      if (uptimeMoves) uptime += by;
      wall += std::chrono::duration_cast<std::chrono::system_clock::duration>(by);
      while (!sleepers.empty() && sleepers.begin()->first.first <= continuous) {
        due.push_back(std::move(sleepers.begin()->second));
        sleepers.erase(sleepers.begin());
      }
    }
    for (auto& sleeper : due) sleeper.resume(std::error_code());
  }

  struct CancelSleeper {
    CancelSleeper(std::weak_ptr<State> s, SleeperKey k) : state(std::move(s)), key(k) {}
    void operator()(asio::cancellation_type) const {
      if (auto s = state.lock()) s->cancel(key);
    }
    std::weak_ptr<State> state;
    SleeperKey key;
  };
};

ManualClock::ManualClock(Duration start, std::chrono::system_clock::time_point wallStart)
    : state_(std::make_shared<State>()) {
  state_->continuous = start;
  state_->uptime = start;
  state_->wall = wallStart;
}

ManualClock::~ManualClock() = default;

Clock::Duration ManualClock::continuousNow() const {
  std::lock_guard lock(state_->mutex);
  return state_->continuous;
}

Clock::Duration ManualClock::uptimeNow() const {
  std::lock_guard lock(state_->mutex);
  return state_->uptime;
}

std::chrono::system_clock::time_point ManualClock::wallNow() const {
  std::lock_guard lock(state_->mutex);
  return state_->wall;
}

asio::awaitable<void> ManualClock::sleep(Duration duration) {
  std::shared_ptr<State> state = state_;
  // A named initiation: g++ 12 destroys a lambda temporary in a co_await expression twice.
  auto initiation = [state, duration](auto handler) { state->park(duration, std::move(handler)); };
  co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::error_code)>(initiation, asio::use_awaitable);
}

void ManualClock::advance(Duration duration) { state_->move(duration, true); }

void ManualClock::advanceTo(Duration deadline) { state_->move(deadline - continuousNow(), true); }

void ManualClock::sleepThroughSystemSleep(Duration duration) { state_->move(duration, false); }

std::size_t ManualClock::sleeperCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->sleepers.size();
}

std::optional<Clock::Duration> ManualClock::nextDeadline() const {
  std::lock_guard lock(state_->mutex);
  if (state_->sleepers.empty()) return std::nullopt;
  return state_->sleepers.begin()->first.first;
}

}  // namespace brindlet

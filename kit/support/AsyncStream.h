#pragma once

// An asynchronous sequence of values: any number of producers on any thread, one consumer
// coroutine, an unbounded buffer, and an end.
//
//   AsyncStream<Message> messages;                 // a handle; copies share one stream
//   messages.yield(message);                       // producer, any thread; never blocks
//   messages.finish();                             // producer: no more values
//
//   while (auto message = co_await messages.next()) {   // consumer, on its strand
//     handle(*message);
//   }
//   // here the stream has ended (finished and drained) or the consumer's task was cancelled
//
// Values come out in the order they were yielded (per producer thread). After finish() the
// buffered values are still delivered, then next() gives std::nullopt; values yielded after
// finish() are dropped. Cancelling the consumer's task while next() waits ends the wait
// with std::nullopt, whenever the cancellation arrives; like every co_await of a cancelled
// task, a next() begun after the cancellation throws asio::system_error(operation_aborted).
// One consumer at a time: a second next() that would wait while one is already waiting gets
// std::nullopt at once.
//
// Whoever produces a stream finishes it (in its close path or destructor): a consumer
// waiting on a stream that is never finished waits for ever.

#include "base/Executor.h"
#include "kit/support/detail/Parked.h"

#include <asio/async_result.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/use_awaitable.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace brindlet {

template <class T>
class AsyncStream {
 public:
  AsyncStream() : state_(std::make_shared<State>()) {}

  // Adds a value; false (and the value dropped) when the stream has finished.
  bool yield(T value) const {
    detail::Parked<std::optional<T>> waiter;
    detail::Turn turn = detail::Turn::afterCaller;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->finished) return false;
      if (state_->waiter) {
        waiter = std::move(state_->waiter);
        if (state_->consumerAtOnce) turn = detail::Turn::atOnce;
      } else {
        state_->items.push_back(std::move(value));
        return true;
      }
    }
    waiter.resume(std::move(value), turn);
    return true;
  }

  // A waiting consumer given a value runs at once, rather than once the producer's turn has
  // ended: inside yield() on the producer's thread when the consumer's strand is free and that
  // thread runs the consumer's context (until the consumer next waits), else on another thread
  // of its executor. For a consumer whose every value is urgent (a device's input) and a
  // producer whose turn goes on after each value (a transport answering what it received).
  void resumeConsumerAtOnce() const {
    std::lock_guard lock(state_->mutex);
    state_->consumerAtOnce = true;
  }

  // Ends the stream. Safe to call any number of times.
  void finish() const {
    detail::Parked<std::optional<T>> waiter;
    {
      std::lock_guard lock(state_->mutex);
      state_->finished = true;
      waiter = std::move(state_->waiter);
    }
    if (waiter) waiter.resume(std::nullopt);
  }

  // The next value, or std::nullopt once the stream has finished and is drained (or the
  // waiting task was cancelled).
  asio::awaitable<std::optional<T>> next() const {
    std::shared_ptr<State> state = state_;
    // No lock is held in the coroutine itself: g++ 12 can leave a lock_guard that a co_return
    // leaves from locked.
    typename State::Taken taken = state->takeWithoutWaiting();
    if (taken.done) co_return std::move(taken.value);
    // A named initiation: g++ 12 destroys a lambda temporary in a co_await expression twice.
    auto initiation = [state](auto handler) { State::park(state, std::move(handler)); };
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::optional<T>)>(
        initiation, asio::use_awaitable);
  }

  // The number of buffered values that the consumer has not taken yet.
  std::size_t count() const {
    std::lock_guard lock(state_->mutex);
    return state_->items.size();
  }

  bool isFinished() const {
    std::lock_guard lock(state_->mutex);
    return state_->finished;
  }

 private:
  struct State {
    std::mutex mutex;
    std::deque<T> items;
    detail::Parked<std::optional<T>> waiter;  // parked only while items is empty
    std::uint64_t waiterID = 0;
    bool finished = false;
    bool consumerAtOnce = false;

    // What next() gives without waiting: a value, or the end; `done` false when it must wait.
    struct Taken {
      bool done = false;
      std::optional<T> value;
    };
    Taken takeWithoutWaiting() {
      Taken taken;
      std::lock_guard lock(mutex);
      if (!items.empty()) {
        taken.done = true;
        taken.value.emplace(std::move(items.front()));
        items.pop_front();
      } else if (finished) {
        taken.done = true;
      }
      return taken;
    }

    // Runs on the consumer's strand, inside its co_await. The cancellation handler is
    // installed under the lock together with the parked waiter, so a cancellation (which
    // is delivered on the same strand) finds either no waiter yet, and then the task's
    // next co_await throws, or the waiter it has to end.
    template <class Handler>
    static void park(const std::shared_ptr<State>& state, Handler handler) {
      detail::Parked<std::optional<T>> waiter(std::move(handler));
      std::optional<T> value;
      {
        std::lock_guard lock(state->mutex);
        if (!state->items.empty()) {
          value.emplace(std::move(state->items.front()));
          state->items.pop_front();
        } else if (!state->finished && !state->waiter) {
          auto slot = waiter.cancellationSlot();
          std::uint64_t id = ++state->waiterID;
          state->waiter = std::move(waiter);
          if (slot.is_connected()) {
            slot.template emplace<CancelWaiter>(std::weak_ptr<State>(state), id);
          }
          return;
        }
      }
      waiter.resume(std::move(value));
    }

    void cancelWaiter(std::uint64_t id) {
      detail::Parked<std::optional<T>> taken;
      {
        std::lock_guard lock(mutex);
        if (!waiter || waiterID != id) return;
        taken = std::move(waiter);
      }
      taken.resume(std::nullopt);
    }
  };

  struct CancelWaiter {
    CancelWaiter(std::weak_ptr<State> s, std::uint64_t i) : state(std::move(s)), id(i) {}
    void operator()(asio::cancellation_type) const {
      if (auto s = state.lock()) s->cancelWaiter(id);
    }
    std::weak_ptr<State> state;
    std::uint64_t id;
  };

  std::shared_ptr<State> state_;
};

}  // namespace brindlet

#pragma once

// A suspended asynchronous operation that an object keeps until something resumes it: a
// producer, a clock, or a cancellation. Used by AsyncStream and ManualClock.
//
//   detail::Parked<std::optional<T>> waiter(std::move(handler));   // inside async_initiate
//   ... later, from any thread and with no lock held:
//   waiter.resume(std::move(item));
//
// By default resuming never runs the handler inline: it is queued on the handler's own executor
// (the awaiting coroutine's strand) as a continuation of the caller's work, so a resume from a
// thread of the same context runs there once the caller's turn ends instead of waking another
// thread for it. Where the caller's turn may go on for long and the operation's latency
// matters more, `Turn::atOnce` runs it at once: on the resuming thread itself when that thread
// runs the executor's context and the operation's strand is free (the caller's turn goes on
// when the operation next waits), else as new work, which an idle thread of the context takes
// up. A parked operation counts as outstanding work of that executor, as a pending socket read
// does.

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/defer.hpp>
#include <asio/dispatch.hpp>
#include <asio/system_executor.hpp>

#include <memory>
#include <utility>

namespace brindlet::detail {

// When a resumed operation runs: after the resuming caller's turn, or at once.
enum class Turn { afterCaller, atOnce };

template <class Result>
class Parked {
 public:
  Parked() = default;

  template <class Handler>
  explicit Parked(Handler handler) : impl_(std::make_unique<Impl<Handler>>(std::move(handler))) {}

  explicit operator bool() const { return impl_ != nullptr; }

  // Where the operation's cancellation handler goes (may be unconnected).
  asio::cancellation_slot cancellationSlot() const { return impl_->slot(); }

  // Completes the operation with `result`. Call once, outside any lock.
  void resume(Result result, Turn turn = Turn::afterCaller) {
    auto impl = std::move(impl_);
    impl->resume(std::move(result), turn);
  }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual void resume(Result result, Turn turn) = 0;
    virtual asio::cancellation_slot slot() const = 0;
  };

  template <class Handler>
  struct Impl final : Base {
    explicit Impl(Handler h)
        : handler(std::move(h)),
          work(asio::make_work_guard(asio::get_associated_executor(handler, asio::system_executor()))) {}

    asio::cancellation_slot slot() const override { return asio::get_associated_cancellation_slot(handler); }

    void resume(Result result, Turn turn) override {
      auto executor = work.get_executor();
      auto complete = [h = std::move(handler), r = std::move(result)]() mutable {
        // On the operation's own executor: detach the cancellation handler, then complete.
        asio::get_associated_cancellation_slot(h).clear();
        std::move(h)(std::move(r));
      };
      if (turn == Turn::atOnce) {
        asio::dispatch(executor, std::move(complete));
      } else {
        asio::defer(executor, std::move(complete));
      }
      work.reset();
    }

    Handler handler;
    asio::executor_work_guard<asio::associated_executor_t<Handler, asio::system_executor>> work;
  };

  std::unique_ptr<Base> impl_;
};

}  // namespace brindlet::detail

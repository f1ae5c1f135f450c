#pragma once

// Cancellable coroutines owned by the object that starts them.
//
//   class Poller : public std::enable_shared_from_this<Poller> {
//     Task task_;
//    public:
//     void start(const Strand& strand) { task_ = Task::spawn(strand, run(shared_from_this())); }
//     void stop() { task_.cancel(); }
//     static asio::awaitable<void> run(std::shared_ptr<Poller> self) {
//       for (;;) { co_await self->clock_->sleep(2s); self->poll(); }   // ends when cancelled
//     }
//   };
//
// Rules that keep tasks safe:
// - A task runs on a strand. cancel() may be called from any thread, any number of times,
//   before, during or after the run; it is delivered on that strand.
// - Cancellation is terminal: the co_await the task is suspended in ends (a clock's sleep
//   throws asio::system_error(operation_aborted), a stream's next() gives std::nullopt) and
//   every later co_await throws operation_aborted. The task ends quietly with that
//   exception; any other exception that ends a task is logged as an error.
// - Dropping or reassigning a Task cancels it. A task that uses its owner holds a shared_ptr
//   to it (the owner's stop() cancels the task, which lets go of it) or a weak_ptr that it
//   locks again after every co_await; never a bare `this` that can outlive the owner.
// - Capture nothing in a coroutine lambda: pass what it needs as parameters of a coroutine
//   function, whose frame keeps copies (a lambda's captures die with the lambda object).
//
// runOn(strand, op) runs a coroutine on another strand (an actor's, see Actor.h) and gives
// its result or exception back to the caller; cancelling the caller's task cancels it too.
//
// SupervisedTask is a restartable loop: each restart() cancels the previous run and gives
// the new one the next generation number; a run that finds isCurrent(generation) false after
// a co_await was superseded and ends quietly.

#include "base/Executor.h"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <utility>

namespace brindlet {

namespace detail {

// The cancellation link of one coroutine running on `strand`. The signal is emitted only on
// the strand and only while the coroutine is still running (`done` is set, on the strand,
// when its body has returned), so a late cancellation never touches a finished coroutine.
struct CancelLink {
  explicit CancelLink(Strand s) : strand(std::move(s)) {}

  static void request(const std::shared_ptr<CancelLink>& link, asio::cancellation_type type) {
    asio::post(link->strand, [link, type] {
      if (!link->done) link->signal.emit(type);
    });
  }

  Strand strand;
  asio::cancellation_signal signal;  // used on `strand` only
  bool done = false;                 // used on `strand` only
  std::atomic<bool> finished{false};
};

template <class T>
asio::awaitable<T> markingDone(std::shared_ptr<CancelLink> link, asio::awaitable<T> body) {
  struct Mark {
    ~Mark() { link->done = true; }
    CancelLink* link;
  } mark{link.get()};
  co_return co_await std::move(body);
}

// Reports how a task ended (nothing for a normal end or a cancellation).
void reportTaskEnd(std::exception_ptr error);

}  // namespace detail

class Task {
 public:
  Task() = default;
  Task(Task&&) noexcept = default;
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      cancel();
      link_ = std::move(other.link_);
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { cancel(); }

  // Starts `body` on `strand`. The body starts running only after spawn() has returned.
  static Task spawn(const Strand& strand, asio::awaitable<void> body) {
    Task task;
    task.link_ = std::make_shared<detail::CancelLink>(strand);
    // co_spawn runs the body at once, up to its first wait, when the caller is already on
    // `strand`; started from a posted handler it never runs inside spawn(), so an owner that
    // stores the returned Task has it stored before its body can look at it.
    asio::post(strand, [link = task.link_, body = std::move(body)]() mutable {
      asio::co_spawn(link->strand, detail::markingDone(link, std::move(body)),
                     asio::bind_cancellation_slot(link->signal.slot(), [link](std::exception_ptr error) {
                       link->finished = true;
                       detail::reportTaskEnd(error);
                     }));
    });
    return task;
  }

  // Asks the task to stop. Any thread, any number of times; no effect once it has ended.
  void cancel() const {
    if (link_) detail::CancelLink::request(link_, asio::cancellation_type::terminal);
  }

  // True from spawn() until the body has ended.
  bool isRunning() const { return link_ && !link_->finished; }

 private:
  std::shared_ptr<detail::CancelLink> link_;
};

namespace detail {
struct ForwardCancel {
  explicit ForwardCancel(std::shared_ptr<CancelLink> l) : link(std::move(l)) {}
  void operator()(asio::cancellation_type type) const { CancelLink::request(link, type); }
  std::shared_ptr<CancelLink> link;
};
}  // namespace detail

// Runs `op` on `strand` and returns its result to the awaiting caller, which resumes on its
// own executor. Cancelling the caller cancels `op` (delivered on `strand`).
template <class T>
asio::awaitable<T> runOn(Strand strand, asio::awaitable<T> op) {
  if (strand.running_in_this_thread()) co_return co_await std::move(op);
  auto link = std::make_shared<detail::CancelLink>(strand);
  auto callerState = co_await asio::this_coro::cancellation_state;
  if (callerState.slot().is_connected()) callerState.slot().template emplace<detail::ForwardCancel>(link);
  co_return co_await asio::co_spawn(strand, detail::markingDone(link, std::move(op)),
                                    asio::bind_cancellation_slot(link->signal.slot(), asio::use_awaitable));
}

class SupervisedTask {
 public:
  // Cancels the current run and starts makeLoop(generation) on `strand`, where makeLoop is
  // a coroutine function taking the new generation number. Call from the owner's strand.
  template <class MakeLoop>
  std::uint64_t restart(const Strand& strand, MakeLoop makeLoop) {
    std::uint64_t generation = ++generation_;
    task_ = Task::spawn(strand, makeLoop(generation));
    return generation;
  }

  // Cancels the current run and makes its generation stale. Call from the owner's strand.
  void stop() {
    ++generation_;
    task_.cancel();
  }

  std::uint64_t generation() const { return generation_.load(); }
  bool isCurrent(std::uint64_t generation) const { return generation_.load() == generation; }
  bool isRunning() const { return task_.isRunning(); }

 private:
  std::atomic<std::uint64_t> generation_{0};
  Task task_;
};

}  // namespace brindlet

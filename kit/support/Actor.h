#pragma once

// An actor: an object whose operations run one at a time on its own strand.
//
//   class Counter : public Actor, public std::enable_shared_from_this<Counter> {
//    public:
//     explicit Counter(const Executor& executor) : Actor(executor) {}
//     // The public operation hops onto the strand; the work is a member coroutine.
//     asio::awaitable<int> add(int n) { return isolated(addIsolated(n)); }
//    private:
//     asio::awaitable<int> addIsolated(int n) { total_ += n; co_return total_; }
//     int total_ = 0;   // touched only on the strand: no lock
//   };
//
//   int total = co_await counter->add(2);   // from any coroutine; resumes on the caller's strand
//
// An actor is re-entrant at every co_await, as any coroutine is: after each suspension,
// check again what may have changed (phase, generation, cancellation). Never hold a lock
// across a co_await. The caller keeps the actor alive (a shared_ptr) while it awaits an
// operation; tasks the actor starts for itself follow the rules in Task.h.

#include "base/Executor.h"
#include "kit/support/Task.h"

#include <utility>

namespace brindlet {

class Actor {
 public:
  explicit Actor(const Executor& executor) : strand_(makeStrand(executor)) {}

  const Strand& strand() const { return strand_; }

  // True while the calling code runs on this actor's strand.
  bool isIsolated() const { return strand_.running_in_this_thread(); }

 protected:
  ~Actor() = default;

  // Runs `op` on this actor's strand (see runOn in Task.h).
  template <class T>
  asio::awaitable<T> isolated(asio::awaitable<T> op) const {
    return runOn(strand_, std::move(op));
  }

  // Starts a task of this actor on its strand (see Task.h).
  Task spawn(asio::awaitable<void> body) const { return Task::spawn(strand_, std::move(body)); }

 private:
  Strand strand_;
};

}  // namespace brindlet

#pragma once

// Records everything a stream yields, from a task of its own, for tests.
//
//   StreamRecorder<Message> received(loop.strand(), connection->messages());
//   loop.settle();
//   EXPECT_EQ(received.values(), expected);
//   EXPECT_TRUE(received.ended());

#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"

#include <memory>
#include <mutex>
#include <vector>

namespace brindlet::testing {

template <class T>
class StreamRecorder {
 public:
  StreamRecorder(const Strand& strand, AsyncStream<T> stream) : state_(std::make_shared<State>()) {
    task_ = Task::spawn(strand, record(std::move(stream), state_));
  }

  std::vector<T> values() const {
    std::lock_guard lock(state_->mutex);
    return state_->values;
  }
  std::size_t count() const {
    std::lock_guard lock(state_->mutex);
    return state_->values.size();
  }
  // True once the stream has ended (or the recording was cancelled).
  bool ended() const {
    std::lock_guard lock(state_->mutex);
    return state_->ended;
  }
  void cancel() { task_.cancel(); }

 private:
  struct State {
    mutable std::mutex mutex;
    std::vector<T> values;
    bool ended = false;
  };

  static asio::awaitable<void> record(AsyncStream<T> stream, std::shared_ptr<State> state) {
    while (auto value = co_await stream.next()) {
      std::lock_guard lock(state->mutex);
      state->values.push_back(std::move(*value));
    }
    std::lock_guard lock(state->mutex);
    state->ended = true;
  }

  std::shared_ptr<State> state_;
  Task task_;
};

}  // namespace brindlet::testing

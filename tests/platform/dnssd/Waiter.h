#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include <asio/any_io_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <thread>

namespace brindlet::testing {

// Collects values handed over by another thread; a test waits (bounded) for one that
// matches what it expects, skipping the others.
template <class T>
class Waiter {
 public:
  void push(T value) {
    {
      std::lock_guard lock(mutex_);
      values_.push_back(std::move(value));
    }
    changed_.notify_all();
  }

  std::optional<T> waitFor(const std::function<bool(const T&)>& match,
                           std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      while (!values_.empty()) {
        T value = std::move(values_.front());
        values_.pop_front();
        if (match(value)) return value;
      }
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && values_.empty()) {
        return std::nullopt;
      }
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<T> values_;
};

// An io_context with one thread running it for the life of the object.
class RunningContext {
 public:
  RunningContext() : work_(asio::make_work_guard(context_)), thread_([this] { context_.run(); }) {}
  ~RunningContext() {
    work_.reset();
    context_.stop();
    thread_.join();
  }
  asio::any_io_executor executor() { return context_.get_executor(); }

 private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

}  // namespace brindlet::testing

#pragma once

// A thread of the platform layer, kept only where a library blocks (the X round trips of a
// capture, a GLib main loop, the bands of a colour conversion), and the one way such a thread
// is stopped:
//
//   WorkerThread thread([](std::stop_token stop) { while (!stop.stop_requested()) ...; },
//                       [&] { ... make a blocked wait return ... });
//   thread.stop();   // asks, wakes, then joins
//
// stop() turns the body's stop token on, calls `wake` once so that a wait the token cannot
// end by itself returns (a poll, a main loop; a std::condition_variable_any wait given the
// token ends without it), and waits for the body to return. Called from the thread itself
// (a handler the body calls), it asks and lets the thread finish on its own instead. Dropping
// or reassigning a WorkerThread stops it.

#include <functional>
#include <stop_token>
#include <thread>
#include <utility>

namespace brindlet::platform {

class WorkerThread {
 public:
  WorkerThread() = default;
  explicit WorkerThread(std::function<void(std::stop_token)> body, std::function<void()> wake = nullptr)
      : wake_(std::move(wake)), thread_(std::move(body)) {}
  WorkerThread(WorkerThread&&) noexcept = default;
  WorkerThread& operator=(WorkerThread&& other) noexcept {
    if (this != &other) {
      stop();
      wake_ = std::move(other.wake_);
      thread_ = std::move(other.thread_);
    }
    return *this;
  }
  ~WorkerThread() { stop(); }

  // By its owner, any number of times; no effect once stopped.
  void stop() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    if (wake_) wake_();
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  bool isRunning() const { return thread_.joinable(); }
  std::thread::id id() const { return thread_.get_id(); }

 private:
  std::function<void()> wake_;
  std::jthread thread_;
};

}  // namespace brindlet::platform

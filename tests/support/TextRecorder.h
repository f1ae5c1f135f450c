#pragma once

// What other threads report, as lines kept in order, with a bounded wait for them.
//
//   TextRecorder seen;
//   handler = [&](...) { seen.add("shown"); };
//   EXPECT_EQ(seen.waitFor(2), (std::vector<std::string>{"hidden", "shown"}));

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace brindlet::testing {

class TextRecorder {
 public:
  void add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
    changed_.notify_all();
  }
  // The lines once there are `count`, or those there are when `limit` has passed.
  std::vector<std::string> waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return lines_.size() >= count; });
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

}  // namespace brindlet::testing

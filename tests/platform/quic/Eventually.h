#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace brindlet::testing {

// Polls `done` until it holds or `limit` of real time has passed (work happens on other threads).
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

}  // namespace brindlet::testing

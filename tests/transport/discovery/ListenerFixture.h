#pragma once

// A running io_context, a throw-away host identity in a keychain folder of the test's own,
// and helpers to wait (bounded) for coroutines driven on other threads.

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kit/pairing/SelfSignedIdentity.h"
#include "kit/support/UUID.h"
#include "platform/keychain/Keychain.h"
#include "platform/log/Log.h"

namespace brindlet::testing {

class ListenerFixture : public ::testing::Test {
 protected:
  ListenerFixture() {
    folder = std::filesystem::temp_directory_path() / ("brindlet-listener-" + UUID::random().uuidString());
    std::filesystem::create_directories(folder);
    // A listener that makes its own identity stores it in the user's keychain: keep that here.
    setenv("XDG_DATA_HOME", folder.c_str(), 1);
    for (int i = 0; i < 2; ++i) threads.emplace_back([this] { io.run(); });
  }
  ~ListenerFixture() override {
    work.reset();
    io.stop();
    for (auto& thread : threads) thread.join();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  std::shared_ptr<SelfSignedIdentity> makeIdentity(const std::string& name) {
    return createSelfSignedIdentity("test.identity." + UUID::random().uuidString(), false, name,
                                    platform::Keychain(folder / "keychain"));
  }

  // Runs `op` on the io_context and waits (at most 20 s) for its result or exception.
  template <class T>
  T await(asio::awaitable<T> op) {
    auto future = asio::co_spawn(io, std::move(op), asio::use_future);
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "timed out";
      throw std::runtime_error("timed out");
    }
    return future.get();
  }

  std::filesystem::path folder;
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  std::vector<std::thread> threads;
};

// The listener's log lines while the object lives.
class ListenerLog {
 public:
  ListenerLog() {
    platform::setLogObserver([this](const platform::LogRecord& record) {
      if (record.subsystem != "io.tavix.nolu.transport" || record.category != "listener") return;
      std::lock_guard lock(mutex_);
      lines_.push_back(record.message);
    });
  }
  ~ListenerLog() { platform::setLogObserver(nullptr); }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Waits (at most `limit`) until `count` lines start with `prefix`.
  bool waitFor(const std::string& prefix, std::size_t count = 1,
               std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      std::size_t seen = 0;
      for (const auto& line : lines()) seen += line.rfind(prefix, 0) == 0 ? 1 : 0;
      if (seen >= count) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace brindlet::testing

#pragma once

// Doubles of the menu and text-focus sources for session tests.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/control/MenuSource.h"
#include "host/control/TextFocusSource.h"
#include "kit/support/AsyncStream.h"

namespace brindlet::host::testing {

// The app in front and its menus are what the test sets. A read can be held until the test
// releases it, as an app that is slow to answer holds it.
class FakeMenuSource final : public MenuSource {
 public:
  ~FakeMenuSource() override {
    for (auto& stream : streams_) stream.finish();
    releaseReads();
  }

  std::optional<FrontmostApp> frontmostApp() override { return front; }
  AsyncStream<Change> activations() override {
    streams_.emplace_back();
    return streams_.back();
  }
  asio::awaitable<std::optional<MenuTree>> readMenus(std::int32_t pid) override {
    ++reads;
    if (holdReads) {
      AsyncStream<Change> gate;
      gates_.push_back(gate);
      co_await gate.next();
    }
    auto it = trees.find(pid);
    co_return it == trees.end() ? std::nullopt : it->second;
  }
  asio::awaitable<MenuPressResult> press(std::int32_t pid, std::vector<std::string> path) override {
    presses.emplace_back(pid, std::move(path));
    co_return pressResult;
  }

  // Brings `app` to the front and tells the watchers.
  void activate(FrontmostApp app) {
    front = std::move(app);
    for (auto& stream : streams_) stream.yield(Change{});
  }
  void releaseReads() {
    for (auto& gate : gates_) gate.finish();
    gates_.clear();
  }
  // Watchers that have not ended their subscription.
  std::size_t subscribers() const {
    std::size_t n = 0;
    for (const auto& stream : streams_) n += stream.isFinished() ? 0 : 1;
    return n;
  }

  std::optional<FrontmostApp> front;
  std::map<std::int32_t, std::optional<MenuTree>> trees;  // absent or nothing: unreadable
  MenuPressResult pressResult = MenuPressResult::pressed;
  bool holdReads = false;
  int reads = 0;
  std::vector<std::pair<std::int32_t, std::vector<std::string>>> presses;

 private:
  std::vector<AsyncStream<Change>> streams_;
  std::vector<AsyncStream<Change>> gates_;
};

// Hands the test the handler the session gave it.
class FakeTextFocusSource final : public TextFocusSource {
 public:
  Stop start(Handler h) override {
    ++starts;
    handler = std::move(h);
    return [this] { ++stops; };
  }
  void emit(const TextFocus& focus) { handler(focus); }

  Handler handler;
  int starts = 0;
  int stops = 0;
};

}  // namespace brindlet::host::testing

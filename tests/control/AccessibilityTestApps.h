#pragma once

// Test helpers for the accessibility tests: the small GTK programs of the tests (started and
// stopped by process id), running a job on the accessibility layer's thread from a test, and
// clicks and key presses through XTest.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "base/Geometry.h"
#include "platform/accessibility/Accessibility.h"
#include "platform/desktop/ActiveWindow.h"
#include "support/ChildProcess.h"

namespace brindlet::testing {

// Runs `job` on the accessibility thread and waits for its result.
template <class R>
R onAccessibility(const std::shared_ptr<platform::Accessibility>& accessibility, std::function<R()> job) {
  asio::io_context io;
  std::optional<R> result;
  asio::co_spawn(
      io,
      [](std::shared_ptr<platform::Accessibility> a, std::function<R()> j,
         std::optional<R>* out) -> asio::awaitable<void> {
        out->emplace(co_await a->run(std::move(j)));
      }(accessibility, std::move(job), &result),
      asio::detached);
  io.run();
  return std::move(*result);
}

// A GTK program of the tests, shown and on the accessibility tree.
class TestApp {
 public:
  TestApp(const std::string& program, std::vector<std::string> arguments)
      : process_(program, std::move(arguments), {}) {}

  // Waits for "ready" and for the app on the accessibility tree.
  bool start(const std::shared_ptr<platform::Accessibility>& accessibility) {
    if (!process_.waitForOutput("ready", std::chrono::seconds(20))) return false;
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const std::int32_t id = pid();
    while (std::chrono::steady_clock::now() < giveUp) {
      std::function<bool()> found = [accessibility, id] { return bool(accessibility->application(id)); };
      if (onAccessibility(accessibility, found)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  std::int32_t pid() const { return std::int32_t(process_.pid()); }
  ChildProcess& process() { return process_; }

  // The places the app reported, by name ("field NAME X Y W H"), relative to its window.
  std::map<std::string, Rect> fields() const {
    std::map<std::string, Rect> out;
    std::istringstream lines(process_.output());
    std::string word, name;
    while (lines >> word) {
      if (word != "field") continue;
      Rect r;
      lines >> name >> r.x >> r.y >> r.width >> r.height;
      out[name] = r;
    }
    return out;
  }

 private:
  ChildProcess process_;
};

// Pointer and keyboard through XTest, as a user would use them (on a connection of its own).
class XTestInput {
 public:
  XTestInput();
  ~XTestInput();
  XTestInput(const XTestInput&) = delete;
  XTestInput& operator=(const XTestInput&) = delete;
  explicit operator bool() const { return display_ != nullptr; }

  void click(int x, int y);
  void tab();

 private:
  void* display_;  // Display*
};

// The top-left corner of the client area of `pid`'s window titled `title`, on the root window.
inline std::optional<Point> windowOrigin(std::int32_t pid, const std::string& title) {
  auto x = platform::XConnection::open();
  auto origin = platform::topLevelWindowOrigin(*x, pid, title);
  if (!origin) return std::nullopt;
  return Point{double(origin->first), double(origin->second)};
}

}  // namespace brindlet::testing

// The keyboard focus of a real GTK 4 app followed over the accessibility bus (needs the X
// server and the session bus of the test services).

#include <gtest/gtest.h>

#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>

#include "control/AccessibilityTestApps.h"
#include "host/control/FrontmostApps.h"
#include "host/control/SystemTextFocusSource.h"
#include "kit/support/SystemClock.h"

namespace brindlet::host {
namespace {

using brindlet::testing::TestApp;
using namespace std::chrono_literals;

class TextFocusAccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(input);
    ASSERT_TRUE(app.start(accessibility)) << app.process().output();
    auto origin = brindlet::testing::windowOrigin(app.pid(), "Text Test");
    ASSERT_TRUE(origin);
    for (auto [name, frame] : app.fields()) {
      frame.x += origin->x;
      frame.y += origin->y;
      fields[name] = frame;
    }
    ASSERT_EQ(fields.size(), 5u) << app.process().output();
    stop = source.start([this](const TextFocus& focus) {
      std::lock_guard lock(mutex);
      seen.push_back(focus);
      changed.notify_all();
    });
  }
  void TearDown() override {
    if (HasFailure()) {
      std::lock_guard lock(mutex);
      for (const TextFocus& f : seen) {
        std::cerr << "seen " << f.isText << " " << f.bundleID << " kind " << int(f.kind);
        if (f.frame)
          std::cerr << " at " << f.frame->x << "," << f.frame->y << " " << f.frame->width << "x" << f.frame->height;
        std::cerr << "\n";
      }
    }
    if (stop) stop();
    work.reset();
    io.stop();
    runner.join();
  }

  // Clicks the middle of a field; the click point.
  Point clickInto(const std::string& name) {
    const Rect& f = fields.at(name);
    Point at{f.x + f.width / 2, f.y + f.height / 2};
    input.click(int(at.x), int(at.y));
    return at;
  }
  // Waits for an observation after the first `from` that satisfies `match`.
  std::optional<TextFocus> waitFor(std::size_t from, const std::function<bool(const TextFocus&)>& match) {
    std::unique_lock lock(mutex);
    std::optional<TextFocus> found;
    changed.wait_for(lock, 10s, [&] {
      for (std::size_t i = from; i < seen.size(); ++i) {
        if (match(seen[i])) {
          found = seen[i];
          return true;
        }
      }
      return false;
    });
    return found;
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return seen.size();
  }

  asio::io_context io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{io.get_executor()};
  std::thread runner{[this] { io.run(); }};
  std::shared_ptr<platform::Accessibility> accessibility = platform::Accessibility::shared();
  std::shared_ptr<FrontmostApps> apps = FrontmostApps::make(io.get_executor(), SystemClock::shared());
  // Wide enough that two key presses fall inside it however loaded the machine is.
  static constexpr std::chrono::milliseconds debounce{1000};
  SystemTextFocusSource source{io.get_executor(), accessibility, apps, SystemClock::shared(), debounce};
  TextFocusSource::Stop stop;
  brindlet::testing::XTestInput input;
  TestApp app{TEXT_FIELD_TEST_APP, {"--title", "Text Test"}};
  std::map<std::string, Rect> fields;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<TextFocus> seen;
};

bool contains(const std::optional<Rect>& frame, Point p) {
  return frame && p.x >= frame->x && p.x <= frame->x + frame->width && p.y >= frame->y &&
         p.y <= frame->y + frame->height;
}

TEST_F(TextFocusAccessibilityTest, EachKindOfFieldIsReportedWithItsFrame) {
  struct Case {
    const char* field;
    TextFocusKind kind;
  };
  for (Case c : {Case{"text", TextFocusKind::field}, Case{"password", TextFocusKind::secure},
                 Case{"search", TextFocusKind::search}, Case{"area", TextFocusKind::area}}) {
    SCOPED_TRACE(c.field);
    std::size_t before = count();
    Point at = clickInto(c.field);
    auto focus = waitFor(before, [&](const TextFocus& f) { return f.kind == c.kind; });
    ASSERT_TRUE(focus);
    EXPECT_TRUE(focus->isText);
    EXPECT_FALSE(focus->bundleID.empty());
    EXPECT_TRUE(contains(focus->frame, at)) << "click " << at.x << "," << at.y;
  }
  std::size_t before = count();
  clickInto("button");
  auto button = waitFor(before, [](const TextFocus& f) { return !f.isText; });
  ASSERT_TRUE(button);
  EXPECT_EQ(button->kind, TextFocusKind::none);
  EXPECT_FALSE(button->frame);
}

TEST_F(TextFocusAccessibilityTest, ABurstOfFocusChangesIsReadOnce) {
  clickInto("text");
  ASSERT_TRUE(waitFor(0, [](const TextFocus& f) { return f.kind == TextFocusKind::field; }));
  std::this_thread::sleep_for(debounce + 300ms);
  std::size_t before = count();
  // Two moves well inside the debounce: the password field in between is never read.
  input.tab();
  input.tab();
  auto search = waitFor(before, [](const TextFocus& f) { return f.kind == TextFocusKind::search; });
  ASSERT_TRUE(search);
  std::this_thread::sleep_for(debounce + 300ms);
  std::lock_guard lock(mutex);
  for (std::size_t i = before; i < seen.size(); ++i) EXPECT_NE(seen[i].kind, TextFocusKind::secure);
  EXPECT_EQ(seen.size() - before, 1u);
}

}  // namespace
}  // namespace brindlet::host

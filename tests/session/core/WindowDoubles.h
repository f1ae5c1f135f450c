#pragma once

// Windows for session tests: a window list the test edits, a controller that records what it
// is asked and applies it to that list, and a focus observer that answers what the test says
// the user looks at.

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "host/control/FitRestoreRegistry.h"
#include "host/control/FocusObserving.h"
#include "host/control/WindowControlling.h"
#include "host/control/WindowTracking.h"
#include "kit/support/ManualClock.h"

namespace brindlet::host::testing {

class FakeWindows final : public WindowControlling, public WindowTracking {
 public:
  explicit FakeWindows(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

  // Adds a window at the back of the list (the list is front to back).
  void add(WindowRecord record) { list.push_back(std::move(record)); }
  void close(std::uint32_t id) {
    std::erase_if(list, [&](const WindowRecord& w) { return w.id == id; });
  }
  WindowRecord* find(std::uint32_t id) {
    auto at = std::find_if(list.begin(), list.end(), [&](const WindowRecord& w) { return w.id == id; });
    return at == list.end() ? nullptr : &*at;
  }

  // WindowControlling
  void activate(std::int32_t pid) override { calls.push_back("activate " + std::to_string(pid)); }
  bool focusWindow(std::int32_t pid, const AppWindowRef& window) override {
    calls.push_back("raise " + std::to_string(pid) + " " + std::to_string(window.id));
    WindowRecord* w = find(window.id);
    if (!w) return false;
    if (w->isMinimized) {
      w->isMinimized = false;
      comesOnScreenAfterReads[w->id] = showAfterReads;
    }
    return true;
  }
  asio::awaitable<std::optional<Rect>> setFrame(Rect frame, std::int32_t pid, AppWindowRef window) override {
    calls.push_back("setFrame " + std::to_string(window.id));
    frameRequests.push_back(frame);
    if (setFrameDelay.count() > 0) co_await clock_->sleep(setFrameDelay);
    WindowRecord* w = find(window.id);
    if (!w || w->pid != pid || fixedSize.count(window.id)) co_return std::nullopt;
    w->frame = frame;
    co_return frame;
  }
  void requestFrame(Rect frame, std::int32_t, const AppWindowRef& window) override {
    calls.push_back("requestFrame " + std::to_string(window.id));
    if (WindowRecord* w = find(window.id)) w->frame = frame;
  }

  // WindowTracking
  asio::awaitable<std::optional<Rect>> visibleFrame(std::uint32_t displayID) override {
    auto found = visibleFrames.find(displayID);
    if (found == visibleFrames.end()) co_return std::nullopt;
    co_return found->second;
  }
  std::optional<WindowRecord> windowInfo(std::uint32_t windowID) override {
    WindowRecord* w = find(windowID);
    if (!w) return std::nullopt;
    if (auto pending = comesOnScreenAfterReads.find(windowID);
        pending != comesOnScreenAfterReads.end() && pending->second >= 0) {
      if (pending->second-- == 0) {
        w->isOnScreen = true;
        comesOnScreenAfterReads.erase(pending);
      }
    }
    return *w;
  }
  std::vector<WindowRecord> windows(std::int32_t pid) override {
    std::vector<WindowRecord> found;
    for (const auto& w : list) {
      if (w.pid == pid) found.push_back(w);
    }
    return found;
  }

  std::vector<WindowRecord> list;
  std::map<std::uint32_t, Rect> visibleFrames;
  std::set<std::uint32_t> fixedSize;
  // A minimised window raised comes on screen after this many further reads (negative: never).
  int showAfterReads = 0;
  std::map<std::uint32_t, int> comesOnScreenAfterReads;
  Clock::Duration setFrameDelay{0};
  std::vector<std::string> calls;
  std::vector<Rect> frameRequests;

 private:
  std::shared_ptr<Clock> clock_;
};

class FakeFocusObserver final : public FocusObserving {
 public:
  ~FakeFocusObserver() override {
    for (auto& s : handedOut) s.finish();
  }
  FocusObservation observe(const Followed& following, const std::vector<DisplayInfo>&) override {
    observed.push_back(following);
    return observation;
  }
  AsyncStream<WindowEvent> changes() override { return handedOut.emplace_back(); }
  // The system says the focus moved.
  void notify() {
    for (auto& s : handedOut) s.yield(WindowEvent::activeWindowChanged);
  }

  FocusObservation observation;
  std::vector<Followed> observed;
  std::vector<AsyncStream<WindowEvent>> handedOut;
};

inline WindowRecord appWindow(std::int32_t pid, std::uint32_t id, std::string title, Rect frame, bool onScreen = true) {
  return WindowRecord{id, pid, std::move(title), frame, 0, onScreen, !onScreen, "Notes"};
}

}  // namespace brindlet::host::testing

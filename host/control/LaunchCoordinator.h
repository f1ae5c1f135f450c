#pragma once
// Opening an app for the device: starts it when it shows no usable window, waits for one,
// brings it forward (or focuses it) and keeps the device told with launch statuses. While it
// waits the device can cancel, ask for a new window or keep waiting. One launch is served at
// a time: a new request cancels the one before. Runs on one strand (the session's); every
// wait task carries a generation, and a task whose generation is no longer current ends
// without reporting.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Executor.h"
#include "host/capture/WindowCatalog.h"
#include "kit/protocol/DesktopRecords.h"
#include "kit/support/Task.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class AppLaunching;
class LaunchClock;
class WindowTracking;

// What the session does for a launch.
struct LaunchActions {
  // Shows the found window (focusing it when `focus`); gives focused or broughtToFront.
  std::function<asio::awaitable<LaunchState>(std::int32_t pid, std::uint32_t windowID, bool focus)> reveal;
  // Asks the running app for a new window; gives why it could not, nothing when it was asked.
  std::function<asio::awaitable<std::optional<std::string>>(std::int32_t pid)> newWindow;
};

class LaunchCoordinator : public std::enable_shared_from_this<LaunchCoordinator> {
 public:
  struct Settings {
    double timeout = 15;        // seconds one waiting phase lasts
    double pollInterval = 0.2;  // seconds between two looks at the window list
  };

  static std::shared_ptr<LaunchCoordinator> make(Strand strand, std::shared_ptr<AppLaunching> launcher,
                                                 std::shared_ptr<WindowTracking> windows,
                                                 std::shared_ptr<LaunchClock> clock, LaunchActions actions,
                                                 std::function<void(const LaunchStatus&)> send, Settings settings);

  // On the strand.
  void launch(const std::string& bundleID, bool focus);
  void control(const std::string& bundleID, LaunchAction action);
  // Gives up the launch being served without a word (the session ends).
  void stop();

  // The first window of the process, in the tracker's order, that is on screen, on the normal
  // layer and at least 100 × 60 points.
  std::optional<WindowRecord> window(std::int32_t pid) const;

 private:
  struct Wait {
    std::uint64_t id = 0;
    std::string bundleID;
    bool focus = false;
    double startedAt = 0;
    Task task;
  };
  // What a new wait task does before it looks for windows.
  enum class Start { launch, newWindow, wait };

  explicit LaunchCoordinator(Strand strand) : strand_(std::move(strand)) {}
  void beginWaiting(Start start, std::int32_t newWindowPID = 0);
  bool current(std::uint64_t id) const;
  static asio::awaitable<void> waitForWindow(std::weak_ptr<LaunchCoordinator> weak, std::uint64_t id, Start start,
                                             std::int32_t newWindowPID);
  asio::awaitable<void> reveal(WindowRecord window, std::int32_t pid, std::uint64_t id);
  void sendStatus(LaunchState state, std::string detail = {});

  Strand strand_;
  std::shared_ptr<AppLaunching> launcher_;
  std::shared_ptr<WindowTracking> windows_;
  std::shared_ptr<LaunchClock> clock_;
  LaunchActions actions_;
  std::function<void(const LaunchStatus&)> send_;
  Settings settings_;
  std::optional<Wait> wait_;
  std::uint64_t counter_ = 0;
};

}  // namespace brindlet::host

#include "host/control/LaunchCoordinator.h"

#include <algorithm>
#include <cmath>

#include "host/control/AppLaunching.h"
#include "host/control/LaunchClock.h"
#include "host/control/WindowTracking.h"

namespace brindlet::host {

std::shared_ptr<LaunchCoordinator> LaunchCoordinator::make(Strand strand, std::shared_ptr<AppLaunching> launcher,
                                                           std::shared_ptr<WindowTracking> windows,
                                                           std::shared_ptr<LaunchClock> clock, LaunchActions actions,
                                                           std::function<void(const LaunchStatus&)> send,
                                                           Settings settings) {
  std::shared_ptr<LaunchCoordinator> coordinator(new LaunchCoordinator(std::move(strand)));
  coordinator->launcher_ = std::move(launcher);
  coordinator->windows_ = std::move(windows);
  coordinator->clock_ = std::move(clock);
  coordinator->actions_ = std::move(actions);
  coordinator->send_ = std::move(send);
  coordinator->settings_ = settings;
  return coordinator;
}

void LaunchCoordinator::launch(const std::string& bundleID, bool focus) {
  if (wait_) {
    wait_->task.cancel();
    sendStatus(LaunchState::cancelled);
  }
  wait_ = Wait{++counter_, bundleID, focus, clock_->now(), Task()};
  beginWaiting(Start::launch);
}

void LaunchCoordinator::control(const std::string& bundleID, LaunchAction action) {
  if (!wait_ || wait_->bundleID != bundleID) return;
  switch (action) {
    case LaunchAction::cancel:
      wait_->task.cancel();
      sendStatus(LaunchState::cancelled);
      wait_.reset();
      break;
    case LaunchAction::newWindow: {
      const auto pid = launcher_->runningPID(bundleID);
      beginWaiting(pid ? Start::newWindow : Start::wait, pid.value_or(0));
      break;
    }
    case LaunchAction::keepWaiting:
      beginWaiting(Start::wait);
      break;
  }
}

void LaunchCoordinator::stop() {
  if (wait_) wait_->task.cancel();
  wait_.reset();
  ++counter_;
}

std::optional<WindowRecord> LaunchCoordinator::window(std::int32_t pid) const {
  for (auto& w : windows_->windows(pid)) {
    if (w.isOnScreen && w.layer == 0 && w.frame.width >= minimumAppWindowWidth &&
        w.frame.height >= minimumAppWindowHeight) {
      return w;
    }
  }
  return std::nullopt;
}

void LaunchCoordinator::beginWaiting(Start start, std::int32_t newWindowPID) {
  if (!wait_) return;
  wait_->task.cancel();
  wait_->id = ++counter_;
  wait_->task = Task::spawn(strand_, waitForWindow(weak_from_this(), wait_->id, start, newWindowPID));
}

bool LaunchCoordinator::current(std::uint64_t id) const { return wait_ && wait_->id == id; }

asio::awaitable<void> LaunchCoordinator::waitForWindow(std::weak_ptr<LaunchCoordinator> weak, std::uint64_t id,
                                                       Start start, std::int32_t newWindowPID) {
  auto self = weak.lock();
  if (!self || !self->current(id)) co_return;
  const std::string bundleID = self->wait_->bundleID;
  if (start == Start::launch) {
    if (auto pid = self->launcher_->runningPID(bundleID)) {
      if (auto found = self->window(*pid)) {
        co_await self->reveal(*found, *pid, id);
        co_return;
      }
    }
    self->sendStatus(LaunchState::launching);
    std::optional<std::string> failure;
    try {
      co_await self->launcher_->launch(bundleID);
    } catch (const LaunchFailure& error) {
      failure = error.reason();
    } catch (const std::exception&) {
      failure = cannotOpenAppReason;
    }
    if (failure) {
      if (!self->current(id)) co_return;
      self->sendStatus(LaunchState::failed, *failure);
      self->wait_.reset();
      co_return;
    }
  } else if (start == Start::newWindow) {
    auto refused = co_await self->actions_.newWindow(newWindowPID);
    if (!self->current(id)) co_return;
    if (refused) {
      // The shortcut was not sent: it would have reached whichever app is in front.
      self->sendStatus(LaunchState::failed, *refused);
      self->wait_.reset();
      co_return;
    }
  }
  const double startedWaiting = self->clock_->now();
  for (;;) {
    if (!self->current(id)) co_return;
    if (auto pid = self->launcher_->runningPID(bundleID)) {
      if (auto found = self->window(*pid)) {
        co_await self->reveal(*found, *pid, id);
        co_return;
      }
    }
    if (startedWaiting + self->settings_.timeout <= self->clock_->now()) {
      // The wait stays: the device may still cancel, ask for a new window or keep waiting.
      self->sendStatus(LaunchState::noWindow);
      co_return;
    }
    co_await self->clock_->sleep(self->settings_.pollInterval);
  }
}

asio::awaitable<void> LaunchCoordinator::reveal(WindowRecord window, std::int32_t pid, std::uint64_t id) {
  if (!current(id)) co_return;
  const LaunchState state = co_await actions_.reveal(pid, window.id, wait_->focus);
  // Another request may have come while the window was being shown.
  if (!current(id)) co_return;
  sendStatus(state);
  wait_.reset();
}

void LaunchCoordinator::sendStatus(LaunchState state, std::string detail) {
  if (!wait_ || !send_) return;
  const double elapsed = (clock_->now() - wait_->startedAt) * 1000;
  const auto elapsedMs = elapsed > 0 ? static_cast<std::uint32_t>(std::min(std::floor(elapsed), 4294967295.0)) : 0u;
  send_(LaunchStatus{wait_->bundleID, state, elapsedMs, std::move(detail)});
}

}  // namespace brindlet::host

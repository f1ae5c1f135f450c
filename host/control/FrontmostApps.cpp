#include "host/control/FrontmostApps.h"

#include <exception>
#include <functional>
#include <string>

#include "host/HostLog.h"
#include "platform/desktop/ActiveWindow.h"

namespace brindlet::host {

namespace {

asio::awaitable<void> followActiveWindow(std::weak_ptr<ChangeBroadcaster> broadcaster) {
  // The callback and the display name are locals made before the try: g++ 12 destroys a
  // temporary of a co_await expression inside a try block twice when the frame is destroyed.
  std::function<void()> changed = [broadcaster = std::move(broadcaster)] {
    if (auto b = broadcaster.lock()) b->notify();
  };
  std::string display;
  try {
    co_await platform::ActiveWindow::watch(std::move(display), std::move(changed));
  } catch (const platform::ScreenError& error) {
    sessionLog().error("app activations unavailable: %s", error.what());
  }
}

}  // namespace

std::shared_ptr<FrontmostApps> FrontmostApps::make(const Executor& executor, std::shared_ptr<Clock> clock) {
  std::shared_ptr<FrontmostApps> apps(new FrontmostApps());
  // Each activation is told at once: there is no burst to fold.
  apps->broadcaster_ = ChangeBroadcaster::make(executor, std::move(clock), Clock::Duration{0});
  try {
    apps->window_ = platform::ActiveWindow::open();
    apps->watch_ = Task::spawn(makeStrand(executor), followActiveWindow(apps->broadcaster_));
  } catch (const platform::ScreenError& error) {
    sessionLog().error("frontmost app unavailable: %s", error.what());
  }
  return apps;
}

FrontmostApps::~FrontmostApps() = default;

std::optional<MenuSource::FrontmostApp> FrontmostApps::current() {
  std::lock_guard guard(lock_);
  if (!window_) return std::nullopt;
  auto app = window_->current();
  if (!app) return std::nullopt;
  return MenuSource::FrontmostApp{app->pid, app->appID, app->name};
}

AsyncStream<Change> FrontmostApps::activations() { return broadcaster_->changes(); }

}  // namespace brindlet::host

#include "host/session/AppsFeature.h"

#include <algorithm>

#include "host/control/AppQuitting.h"
#include "host/control/InstalledAppsProviding.h"
#include "host/session/SessionDispatch.h"

namespace brindlet::host {

void AppsFeature::registerHandlers(SessionDispatch& d) {
  d.on<&AppsFeature::onLaunchApp>();
  d.on<&AppsFeature::onRequestInstalledApps>();
  d.on<&AppsFeature::onRequestAppIcons>();
  d.later<msg::SetAppListUpdates>("app lists");
  d.later<msg::ActivateApp>("app activation");
  d.later<msg::LaunchControl>("launching apps");
  d.on<&AppsFeature::onQuitApp>();
}

asio::awaitable<void> AppsFeature::onLaunchApp(const msg::LaunchApp& message) {
  // The app is not showing a window, and opening it fails at once: no time passes between
  // the two statuses. No launch waits afterwards, so a launchControl has nothing to act on.
  core_.send(msg::LaunchStatus{LaunchStatus{message.bundleID, LaunchState::launching, 0, ""}});
  core_.send(msg::LaunchStatus{LaunchStatus{message.bundleID, LaunchState::failed, 0, "Couldn\u2019t open the app"}});
  co_return;
}

asio::awaitable<void> AppsFeature::onRequestInstalledApps(const msg::RequestInstalledApps&) {
  if (!core_.env().installedApps) {
    core_.send(msg::InstalledApps{});
    co_return;
  }
  start(sendInstalledApps(core_.weakFeature(this), core_.env().installedApps));
}

asio::awaitable<void> AppsFeature::onRequestAppIcons(const msg::RequestAppIcons& message) {
  if (!core_.env().installedApps) co_return;
  std::vector<std::string> bundleIDs = message.bundleIDs;
  if (bundleIDs.size() > msg::RequestAppIcons::maxCount) bundleIDs.resize(msg::RequestAppIcons::maxCount);
  start(sendAppIcons(core_.weakFeature(this), core_.env().installedApps, std::move(bundleIDs)));
  co_return;
}

asio::awaitable<void> AppsFeature::onQuitApp(const msg::QuitApp& message) {
  // The host never quits itself; nothing is sent back either way.
  const auto& env = core_.env();
  if (!env.appQuitter) {
    core_.reportUnavailable<msg::QuitApp>("quitting apps");
    co_return;
  }
  if (message.pid < 1 || message.pid == env.hostPID) co_return;
  env.appQuitter->quit(message.pid);
  co_return;
}

void AppsFeature::stop() { tasks_.clear(); }

void AppsFeature::start(asio::awaitable<void> body) {
  std::erase_if(tasks_, [](const Task& task) { return !task.isRunning(); });
  tasks_.push_back(core_.spawnTask(std::move(body)));
}

asio::awaitable<void> AppsFeature::sendInstalledApps(std::weak_ptr<AppsFeature> weak,
                                                     std::shared_ptr<InstalledAppsProviding> provider) {
  auto apps = co_await provider->apps();
  if (auto self = weak.lock()) self->core_.send(msg::InstalledApps{std::move(apps)});
}

asio::awaitable<void> AppsFeature::sendAppIcons(std::weak_ptr<AppsFeature> weak,
                                                std::shared_ptr<InstalledAppsProviding> provider,
                                                std::vector<std::string> bundleIDs) {
  for (auto& bundleID : bundleIDs) {
    Bytes png = co_await provider->icon(bundleID);
    if (png.empty()) continue;
    auto self = weak.lock();
    if (!self) co_return;
    self->core_.send(msg::AppIcon{std::move(bundleID), std::move(png)});
  }
}

}  // namespace brindlet::host

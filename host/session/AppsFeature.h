#pragma once

// Apps: the running and installed apps, activating, launching and quitting them. The installed
// apps and their icons are listed and apps are asked to quit; launching and the running-app
// lists are not built yet: a launch fails as an app that cannot be opened does.

#include <memory>
#include <string>
#include <vector>

#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"
#include "kit/support/Task.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class InstalledAppsProviding;
class SessionDispatch;

class AppsFeature {
 public:
  explicit AppsFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onLaunchApp(const msg::LaunchApp& message);
  asio::awaitable<void> onRequestInstalledApps(const msg::RequestInstalledApps& message);
  asio::awaitable<void> onRequestAppIcons(const msg::RequestAppIcons& message);
  asio::awaitable<void> onQuitApp(const msg::QuitApp& message);
  // At the session's end: gives up the lists and icons still being gathered.
  void stop();

 private:
  // Lists and icons are gathered by tasks of their own, so that a slow scan holds up no other
  // message; the session's end cancels them.
  void start(asio::awaitable<void> body);
  static asio::awaitable<void> sendInstalledApps(std::weak_ptr<AppsFeature> weak,
                                                 std::shared_ptr<InstalledAppsProviding> provider);
  static asio::awaitable<void> sendAppIcons(std::weak_ptr<AppsFeature> weak,
                                            std::shared_ptr<InstalledAppsProviding> provider,
                                            std::vector<std::string> bundleIDs);

  SessionCore& core_;
  std::vector<Task> tasks_;
};

}  // namespace brindlet::host

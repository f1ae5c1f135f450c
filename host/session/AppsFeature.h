#pragma once

// Apps: the running and installed apps, activating, launching and quitting them. This host
// cannot list or open apps yet: a launch fails as an app that cannot be opened does, and the
// installed-app list is empty.

#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;

class AppsFeature {
 public:
  explicit AppsFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onLaunchApp(const msg::LaunchApp& message);
  asio::awaitable<void> onRequestInstalledApps(const msg::RequestInstalledApps& message);

 private:
  SessionCore& core_;
};

}  // namespace brindlet::host

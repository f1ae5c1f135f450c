#include "host/session/AppsFeature.h"

#include "host/session/SessionDispatch.h"

namespace brindlet::host {

void AppsFeature::registerHandlers(SessionDispatch& d) {
  d.on<&AppsFeature::onLaunchApp>();
  d.on<&AppsFeature::onRequestInstalledApps>();
  d.later<msg::SetAppListUpdates>("app lists");
  d.later<msg::ActivateApp>("app activation");
  d.later<msg::RequestAppIcons>("app icons");
  d.later<msg::LaunchControl>("launching apps");
  d.later<msg::QuitApp>("quitting apps");
}

asio::awaitable<void> AppsFeature::onLaunchApp(const msg::LaunchApp& message) {
  // The app is not showing a window, and opening it fails at once: no time passes between
  // the two statuses. No launch waits afterwards, so a launchControl has nothing to act on.
  core_.send(msg::LaunchStatus{LaunchStatus{message.bundleID, LaunchState::launching, 0, ""}});
  core_.send(msg::LaunchStatus{LaunchStatus{message.bundleID, LaunchState::failed, 0, "Couldn\u2019t open the app"}});
  co_return;
}

asio::awaitable<void> AppsFeature::onRequestInstalledApps(const msg::RequestInstalledApps&) {
  core_.send(msg::InstalledApps{});
  co_return;
}

}  // namespace brindlet::host

#pragma once

// Apps: the running apps with their windows and the order they were used in (sent while the
// device asks for them, each list only when it changed), bringing an app forward, launching
// apps and asking for new windows, the installed apps and their icons, quitting apps, and
// small pictures of chosen windows. Every task of this feature ends with the session.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "host/capture/ChangeBroadcaster.h"
#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class AppProviding;
class InstalledAppsProviding;
class LaunchCoordinator;
class SessionDispatch;
class WindowFocusFeature;
class WindowThumbnailProviding;

class AppsFeature {
 public:
  AppsFeature(SessionCore& core, WindowFocusFeature& windowFocus);
  ~AppsFeature();

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onSetAppListUpdates(const msg::SetAppListUpdates& message);
  asio::awaitable<void> onActivateApp(const msg::ActivateApp& message);
  asio::awaitable<void> onLaunchApp(const msg::LaunchApp& message);
  asio::awaitable<void> onLaunchControl(const msg::LaunchControl& message);
  asio::awaitable<void> onRequestInstalledApps(const msg::RequestInstalledApps& message);
  asio::awaitable<void> onRequestAppIcons(const msg::RequestAppIcons& message);
  asio::awaitable<void> onQuitApp(const msg::QuitApp& message);
  asio::awaitable<void> onWindowThumbnails(const msg::WindowThumbnails& message);

  // Brings the app forward and, with a window of its own, that window; with `moveCursor` the
  // pointer goes into the window when it is on the display being streamed.
  asio::awaitable<void> activateApp(std::int32_t pid, std::optional<std::uint32_t> windowID, bool moveCursor);
  // At the session's end: the app lists, window pictures, launch and the lists and icons still
  // being gathered are given up.
  void stop();

 private:
  // Lists and icons are gathered by tasks of their own, so that a slow scan holds up no other
  // message; the session's end cancels them.
  void start(asio::awaitable<void> body);
  // A strand beside the session's, for work that blocks a while.
  Strand offStrand() const;
  static asio::awaitable<void> sendInstalledApps(std::weak_ptr<AppsFeature> weak,
                                                 std::shared_ptr<InstalledAppsProviding> provider, Strand scan);
  static asio::awaitable<void> sendAppIcons(std::weak_ptr<AppsFeature> weak,
                                            std::shared_ptr<InstalledAppsProviding> provider,
                                            std::vector<std::string> bundleIDs, Strand draw);

  // One look at the running apps (then at the recent order when they changed), one at the
  // recent order; what a newer request for updates replaced sends nothing.
  asio::awaitable<void> sendAppList(std::uint64_t generation);
  asio::awaitable<void> sendRecentApps(std::uint64_t generation);
  static asio::awaitable<void> followChanges(std::weak_ptr<AppsFeature> weak, AsyncStream<Change> changes,
                                             std::uint64_t generation, bool recent);
  static asio::awaitable<void> pollAppList(std::weak_ptr<AppsFeature> weak, std::shared_ptr<Clock> clock,
                                           double interval, std::uint64_t generation);

  LaunchCoordinator& launchCoordinator();
  asio::awaitable<std::optional<std::string>> requestNewWindow(std::int32_t pid);

  static asio::awaitable<void> windowThumbnailLoop(std::weak_ptr<AppsFeature> weak,
                                                   std::shared_ptr<WindowThumbnailProviding> provider,
                                                   std::shared_ptr<Clock> clock, double interval);
  void sendChangedWindowThumbnails(const std::map<std::uint32_t, Bytes>& pictures,
                                   const std::vector<std::uint32_t>& windowIDs);

  SessionCore& core_;
  WindowFocusFeature& windowFocus_;
  std::vector<Task> tasks_;
  // App lists.
  std::vector<Task> appTasks_;
  std::uint64_t appListGeneration_ = 0;
  std::optional<std::vector<AppInfo>> lastAppList_;
  std::optional<std::vector<std::int32_t>> lastRecentPIDs_;
  // Launching: made on first use, kept for the session.
  std::shared_ptr<LaunchCoordinator> launchCoordinator_;
  // Window pictures.
  Task windowThumbTask_;
  std::vector<std::uint32_t> thumbWindowIDs_;
  std::map<std::uint32_t, Bytes> windowThumbCache_;
};

}  // namespace brindlet::host

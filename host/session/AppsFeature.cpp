#include "host/session/AppsFeature.h"

#include <algorithm>

#include "host/capture/WindowCatalog.h"
#include "host/control/AppLaunching.h"
#include "host/control/AppProviding.h"
#include "host/control/AppQuitting.h"
#include "host/control/InputInjector.h"
#include "host/control/InstalledAppsProviding.h"
#include "host/control/LaunchCoordinator.h"
#include "host/control/SystemLaunchClock.h"
#include "host/control/WindowControlling.h"
#include "host/control/WindowThumbnailProviding.h"
#include "host/control/WindowTracking.h"
#include "host/session/CursorFeature.h"
#include "host/session/SessionDispatch.h"
#include "host/session/WindowFocusFeature.h"

namespace brindlet::host {

namespace {

constexpr int windowThumbnailWidth = 320;
// How long a new-window request waits for the app to come to the front, and how often it
// looks, in seconds.
constexpr double frontWaitLimit = 1.0;
constexpr double frontWaitStep = 0.05;
constexpr const char* notInFrontReason = "The app didn\u2019t come to the front, so no new window was opened";

// Ends the subscription when the follower ends, however it ends.
struct FinishOnExit {
  AsyncStream<Change>& stream;
  ~FinishOnExit() { stream.finish(); }
};

}  // namespace

AppsFeature::AppsFeature(SessionCore& core, WindowFocusFeature& windowFocus) : core_(core), windowFocus_(windowFocus) {}

AppsFeature::~AppsFeature() = default;

void AppsFeature::registerHandlers(SessionDispatch& d) {
  d.on<&AppsFeature::onLaunchApp>();
  d.on<&AppsFeature::onRequestInstalledApps>();
  d.on<&AppsFeature::onRequestAppIcons>();
  d.on<&AppsFeature::onSetAppListUpdates>();
  d.on<&AppsFeature::onActivateApp>();
  d.on<&AppsFeature::onLaunchControl>();
  d.on<&AppsFeature::onQuitApp>();
  d.on<&AppsFeature::onWindowThumbnails>();
}

// MARK: Running apps

asio::awaitable<void> AppsFeature::onSetAppListUpdates(const msg::SetAppListUpdates& message) {
  appTasks_.clear();
  const std::uint64_t generation = ++appListGeneration_;
  lastAppList_.reset();
  lastRecentPIDs_.reset();
  const auto& env = core_.env();
  if (!message.enabled) co_return;
  if (!env.apps) {
    core_.reportUnavailable<msg::SetAppListUpdates>("app lists");
    co_return;
  }
  co_await sendAppList(generation);
  if (generation != appListGeneration_) co_return;
  auto weak = core_.weakFeature(this);
  appTasks_.push_back(core_.spawnTask(followChanges(weak, env.apps->recentChanges(), generation, true)));
  appTasks_.push_back(core_.spawnTask(followChanges(weak, env.apps->changes(), generation, false)));
  appTasks_.push_back(core_.spawnTask(pollAppList(weak, env.clock, env.appPollInterval, generation)));
}

asio::awaitable<void> AppsFeature::sendAppList(std::uint64_t generation) {
  auto apps = core_.env().apps;
  // Reading the windows and drawing new icons take a while: beside the session.
  auto snapshot = co_await runOn(offStrand(), apps->snapshot());
  if (generation != appListGeneration_) co_return;
  if (lastAppList_ && *lastAppList_ == snapshot) co_return;
  lastAppList_ = snapshot;
  core_.send(msg::AppList{std::move(snapshot)});
  co_await sendRecentApps(generation);
}

asio::awaitable<void> AppsFeature::sendRecentApps(std::uint64_t generation) {
  auto apps = core_.env().apps;
  auto pids = co_await apps->recentPIDs();
  if (pids.size() > msg::RecentApps::maxCount) pids.resize(msg::RecentApps::maxCount);
  if (generation != appListGeneration_) co_return;
  // Nothing sent yet counts as an empty list.
  if (pids == lastRecentPIDs_.value_or(std::vector<std::int32_t>{})) co_return;
  lastRecentPIDs_ = pids;
  core_.send(msg::RecentApps{std::move(pids)});
}

asio::awaitable<void> AppsFeature::followChanges(std::weak_ptr<AppsFeature> weak, AsyncStream<Change> changes,
                                                 std::uint64_t generation, bool recent) {
  FinishOnExit finish{changes};
  while (co_await changes.next()) {
    auto self = weak.lock();
    if (!self || generation != self->appListGeneration_) co_return;
    if (recent) {
      co_await self->sendRecentApps(generation);
    } else {
      co_await self->sendAppList(generation);
    }
  }
}

asio::awaitable<void> AppsFeature::pollAppList(std::weak_ptr<AppsFeature> weak, std::shared_ptr<Clock> clock,
                                               double interval, std::uint64_t generation) {
  for (;;) {
    co_await clock->sleep(Clock::seconds(interval));
    auto self = weak.lock();
    if (!self || generation != self->appListGeneration_) co_return;
    co_await self->sendAppList(generation);
  }
}

// MARK: Bringing an app forward

asio::awaitable<void> AppsFeature::onActivateApp(const msg::ActivateApp& message) {
  co_await activateApp(message.pid, message.windowID, message.moveCursor);
}

asio::awaitable<void> AppsFeature::activateApp(std::int32_t pid, std::optional<std::uint32_t> windowID,
                                               bool moveCursor) {
  const auto& env = core_.env();
  if (!env.windowControl) {
    core_.reportUnavailable<msg::ActivateApp>("app activation");
    co_return;
  }
  env.windowControl->activate(pid);
  if (!windowID || !env.windowTracker) co_return;
  auto record = env.windowTracker->windowInfo(*windowID);
  if (!record || record->pid != pid) co_return;
  env.windowControl->focusWindow(pid, AppWindowRef{record->id, record->title, record->frame});
  const Rect& frame = record->frame;
  if (!moveCursor || frame.width <= 0 || frame.height <= 0) co_return;
  const auto& streamed = core_.currentDisplay();
  if (!streamed) co_return;
  auto display = displayForRect(frame, core_.displays());
  if (!display || display->id != streamed->id) co_return;
  windowFocus_.moveCursorInto(frame);
  core_.cursor().sendCursorIfNeeded(0);
}

// MARK: Launching

LaunchCoordinator& AppsFeature::launchCoordinator() {
  if (launchCoordinator_) return *launchCoordinator_;
  const auto& env = core_.env();
  LaunchActions actions;
  auto weak = core_.weakFeature(this);
  actions.reveal = [weak](std::int32_t pid, std::uint32_t windowID, bool focus) -> asio::awaitable<LaunchState> {
    auto self = weak.lock();
    if (!self) co_return LaunchState::broughtToFront;
    if (focus) {
      co_await self->windowFocus_.focusWindow(pid, windowID, self->windowFocus_.fitOnSwitch(),
                                              self->windowFocus_.moveCursorOnSwitch(), FocusOrigin::device,
                                              std::nullopt);
      co_return LaunchState::focused;
    }
    co_await self->activateApp(pid, windowID, self->windowFocus_.moveCursorOnSwitch());
    co_return LaunchState::broughtToFront;
  };
  actions.newWindow = [weak](std::int32_t pid) -> asio::awaitable<std::optional<std::string>> {
    auto self = weak.lock();
    if (!self) co_return std::string(notInFrontReason);
    co_return co_await self->requestNewWindow(pid);
  };
  auto send = [weak](const LaunchStatus& status) {
    if (auto self = weak.lock()) self->core_.send(msg::LaunchStatus{status});
  };
  launchCoordinator_ = LaunchCoordinator::make(core_.strand(), env.appLauncher, env.windowTracker,
                                               std::make_shared<SystemLaunchClock>(env.clock), std::move(actions),
                                               std::move(send), LaunchCoordinator::Settings{env.launchTimeout, 0.2});
  return *launchCoordinator_;
}

asio::awaitable<std::optional<std::string>> AppsFeature::requestNewWindow(std::int32_t pid) {
  // The shortcut goes to whichever app is in front: it is typed only once this one is.
  const auto& env = core_.env();
  if (!env.windowControl || !env.apps || !env.injector) co_return std::string(notInFrontReason);
  auto clock = env.clock;
  auto apps = env.apps;
  auto injector = env.injector;
  env.windowControl->activate(pid);
  for (double waited = 0;; waited += frontWaitStep) {
    if (apps->frontmostPID() == pid) break;
    if (waited >= frontWaitLimit) co_return std::string(notInFrontReason);
    co_await clock->sleep(Clock::seconds(frontWaitStep));
  }
  // The new-window shortcut of this desktop's apps: Ctrl+N.
  injector->key(KeyEvent{HIDUsage::n, true, ModifierFlags::control});
  injector->key(KeyEvent{HIDUsage::n, false, ModifierFlags::control});
  co_return std::nullopt;
}

asio::awaitable<void> AppsFeature::onLaunchApp(const msg::LaunchApp& message) {
  const auto& env = core_.env();
  if (!env.appLauncher || !env.windowTracker) {
    // Without a launcher the app cannot be opened, and no time passes between the statuses.
    core_.send(msg::LaunchStatus{LaunchStatus{message.bundleID, LaunchState::launching, 0, ""}});
    core_.send(msg::LaunchStatus{LaunchStatus{message.bundleID, LaunchState::failed, 0, cannotOpenAppReason}});
    co_return;
  }
  launchCoordinator().launch(message.bundleID, message.focus);
}

asio::awaitable<void> AppsFeature::onLaunchControl(const msg::LaunchControl& message) {
  if (!core_.env().appLauncher) core_.reportUnavailable<msg::LaunchControl>("launching apps");
  if (launchCoordinator_) launchCoordinator_->control(message.bundleID, message.action);
  co_return;
}

// MARK: Installed apps and quitting

asio::awaitable<void> AppsFeature::onRequestInstalledApps(const msg::RequestInstalledApps&) {
  if (!core_.env().installedApps) {
    core_.send(msg::InstalledApps{});
    co_return;
  }
  start(sendInstalledApps(core_.weakFeature(this), core_.env().installedApps, offStrand()));
}

asio::awaitable<void> AppsFeature::onRequestAppIcons(const msg::RequestAppIcons& message) {
  if (!core_.env().installedApps) co_return;
  std::vector<std::string> bundleIDs = message.bundleIDs;
  if (bundleIDs.size() > msg::RequestAppIcons::maxCount) bundleIDs.resize(msg::RequestAppIcons::maxCount);
  start(sendAppIcons(core_.weakFeature(this), core_.env().installedApps, std::move(bundleIDs), offStrand()));
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

void AppsFeature::stop() {
  tasks_.clear();
  appTasks_.clear();
  ++appListGeneration_;
  windowThumbTask_ = Task();
  if (launchCoordinator_) launchCoordinator_->stop();
}

void AppsFeature::start(asio::awaitable<void> body) {
  std::erase_if(tasks_, [](const Task& task) { return !task.isRunning(); });
  tasks_.push_back(core_.spawnTask(std::move(body)));
}

Strand AppsFeature::offStrand() const { return makeStrand(core_.strand().get_inner_executor()); }

asio::awaitable<void> AppsFeature::sendInstalledApps(std::weak_ptr<AppsFeature> weak,
                                                     std::shared_ptr<InstalledAppsProviding> provider, Strand scan) {
  // The scan reads many files: it runs beside the session, which goes on with other messages.
  auto apps = co_await runOn(std::move(scan), provider->apps());
  if (auto self = weak.lock()) self->core_.send(msg::InstalledApps{std::move(apps)});
}

asio::awaitable<void> AppsFeature::sendAppIcons(std::weak_ptr<AppsFeature> weak,
                                                std::shared_ptr<InstalledAppsProviding> provider,
                                                std::vector<std::string> bundleIDs, Strand draw) {
  for (auto& bundleID : bundleIDs) {
    Bytes png = co_await runOn(draw, provider->icon(bundleID));
    if (png.empty()) continue;
    auto self = weak.lock();
    if (!self) co_return;
    self->core_.send(msg::AppIcon{std::move(bundleID), std::move(png)});
  }
}

// MARK: Window thumbnails

asio::awaitable<void> AppsFeature::onWindowThumbnails(const msg::WindowThumbnails& message) {
  windowThumbTask_ = Task();
  const auto& env = core_.env();
  if (!message.enabled || !env.windowThumbnails) {
    if (!env.windowThumbnails) core_.reportUnavailable<msg::WindowThumbnails>("window thumbnails");
    thumbWindowIDs_.clear();
    co_return;
  }
  thumbWindowIDs_ = message.windowIDs;
  std::erase_if(windowThumbCache_, [&](const auto& entry) {
    return std::find(thumbWindowIDs_.begin(), thumbWindowIDs_.end(), entry.first) == thumbWindowIDs_.end();
  });
  for (std::uint32_t id : thumbWindowIDs_) {
    if (auto cached = windowThumbCache_.find(id); cached != windowThumbCache_.end()) {
      core_.send(msg::WindowThumbnail{id, cached->second});
    }
  }
  windowThumbTask_ = core_.spawnTask(
      windowThumbnailLoop(core_.weakFeature(this), env.windowThumbnails, env.clock, env.windowThumbnailInterval));
}

asio::awaitable<void> AppsFeature::windowThumbnailLoop(std::weak_ptr<AppsFeature> weak,
                                                       std::shared_ptr<WindowThumbnailProviding> provider,
                                                       std::shared_ptr<Clock> clock, double interval) {
  for (;;) {
    std::vector<std::uint32_t> ids;
    {
      auto self = weak.lock();
      if (!self) co_return;
      ids = self->thumbWindowIDs_;
    }
    auto pictures = co_await provider->thumbnails(ids, windowThumbnailWidth);
    {
      auto self = weak.lock();
      if (!self) co_return;
      self->sendChangedWindowThumbnails(pictures, ids);
    }
    co_await clock->sleep(Clock::seconds(interval));
  }
}

void AppsFeature::sendChangedWindowThumbnails(const std::map<std::uint32_t, Bytes>& pictures,
                                              const std::vector<std::uint32_t>& windowIDs) {
  for (std::uint32_t id : windowIDs) {
    auto picture = pictures.find(id);
    if (picture == pictures.end()) continue;
    auto& cached = windowThumbCache_[id];
    if (cached == picture->second) continue;
    cached = picture->second;
    core_.send(msg::WindowThumbnail{id, picture->second});
  }
}

}  // namespace brindlet::host

#include "host/control/SystemAppProvider.h"


#include <algorithm>
#include <set>

#include "host/HostLog.h"
#include "host/capture/DisplayManager.h"
#include "host/control/CGWindowTracker.h"
#include "host/control/WindowEvents.h"
#include "platform/apps/DesktopApps.h"
#include "platform/apps/ProcessExit.h"
#include "platform/apps/RunningDesktopApps.h"
#include "platform/image/ImageCodec.h"
#include "platform/windows/WindowManager.h"

#include <asio/post.hpp>

namespace brindlet::host {

namespace {

constexpr int iconSize = 128;
constexpr auto appListDebounce = std::chrono::milliseconds(300);

// A window that makes its process an app of the user's: a normal window or a dialog.
bool isAppWindow(const platform::ManagedWindow& w) {
  return w.type == platform::ManagedWindowType::normal || w.type == platform::ManagedWindowType::dialog;
}

}  // namespace

std::vector<RunningAppRecord> runningAppRecords(const std::vector<platform::ManagedWindow>& windows,
                                                const std::vector<platform::DesktopAppKeys>& entries,
                                                const std::map<std::int32_t, std::string>& launched,
                                                std::int32_t frontmostPID,
                                                const std::function<std::string(std::int32_t)>& executableOf) {
  std::vector<RunningAppRecord> records;
  std::set<std::int32_t> seen;
  for (const auto& w : windows) {
    if (w.pid < 1 || !isAppWindow(w) || !seen.insert(w.pid).second) continue;
    RunningAppRecord record;
    record.pid = w.pid;
    record.isRegular = true;
    record.isFrontmost = w.pid == frontmostPID;
    record.executablePath = executableOf ? executableOf(w.pid) : std::string();
    const platform::DesktopAppKeys* entry = nullptr;
    if (auto started = launched.find(w.pid); started != launched.end()) {
      auto at = std::find_if(entries.begin(), entries.end(),
                             [&](const platform::DesktopAppKeys& e) { return e.id == started->second; });
      record.bundleID = started->second;
      if (at != entries.end()) entry = &*at;
    } else if (auto index = platform::matchDesktopApp(entries, w.appName, record.executablePath)) {
      entry = &entries[*index];
      record.bundleID = entry->id;
    } else {
      record.bundleID = "pid." + std::to_string(w.pid);
    }
    record.name = entry ? entry->name : (w.appName.empty() ? record.bundleID : w.appName);
    records.push_back(std::move(record));
  }
  return records;
}

std::map<std::int32_t, std::set<std::uint32_t>> minimizedWindowsByPID(const std::vector<WindowRecord>& windows) {
  std::map<std::int32_t, std::set<std::uint32_t>> minimized;
  for (const auto& w : windows) {
    if (!w.isOnScreen) minimized[w.pid];
  }
  for (const auto& w : windows) {
    if (w.isMinimized) minimized[w.pid].insert(w.id);
  }
  return minimized;
}

std::shared_ptr<SystemAppProvider> SystemAppProvider::make(const Executor& executor, std::shared_ptr<Clock> clock,
                                                           std::shared_ptr<platform::WindowManager> windows,
                                                           std::shared_ptr<WindowEvents> events,
                                                           std::shared_ptr<DisplayProviding> displays) {
  std::shared_ptr<SystemAppProvider> provider(new SystemAppProvider(executor, clock, windows, std::move(displays)));
  provider->broadcaster_ = ChangeBroadcaster::make(executor, clock, appListDebounce);
  // The first order: the windows on screen front to back, the active window's app first.
  std::vector<std::int32_t> owners;
  std::int32_t frontmost = 0;
  if (windows) {
    for (const auto& w : windows->windowsFrontToBack()) {
      if (w.viewable && !w.hidden && isAppWindow(w)) owners.push_back(w.pid);
    }
    if (auto active = windows->window(windows->activeWindow())) frontmost = active->pid;
  }
  provider->recent_ = std::make_unique<RecentAppTracker>(executor, clock, seedRecentPIDs(owners, frontmost));
  if (events) {
    provider->follow_ = Task::spawn(provider->strand_, follow(provider, events->subscribe()));
  }
  asio::post(provider->strand_, [weak = std::weak_ptr<SystemAppProvider>(provider)] {
    if (auto self = weak.lock()) {
      for (std::int32_t pid : self->recent_->pids()) self->watchExit(pid);
    }
  });
  return provider;
}

SystemAppProvider::SystemAppProvider(const Executor& executor, std::shared_ptr<Clock> clock,
                                     std::shared_ptr<platform::WindowManager> windows,
                                     std::shared_ptr<DisplayProviding> displays)
    : clock_(std::move(clock)),
      windows_(std::move(windows)),
      displays_(std::move(displays)),
      strand_(makeStrand(executor)) {}

SystemAppProvider::~SystemAppProvider() { follow_.cancel(); }

asio::awaitable<void> SystemAppProvider::follow(std::weak_ptr<SystemAppProvider> weak,
                                                AsyncStream<WindowEvent> events) {
  while (auto event = co_await events.next()) {
    auto self = weak.lock();
    if (!self) break;
    self->windowsChanged(*event);
  }
  events.finish();
}

void SystemAppProvider::windowsChanged(WindowEvent event) {
  broadcaster_->notify();
  if (!windows_) return;
  if (event == WindowEvent::activeWindowChanged) {
    if (auto active = windows_->window(windows_->activeWindow())) {
      recent_->handle({RecentAppEvent::Kind::activated, active->pid});
      watchExit(active->pid);
    }
    return;
  }
  // A process that ended took its windows with it: the list changed.
  for (std::int32_t pid : recent_->pids()) {
    if (!platform::processAlive(pid)) recent_->handle({RecentAppEvent::Kind::terminated, pid});
  }
}

void SystemAppProvider::watchExit(std::int32_t pid) {
  if (pid < 1 || exitWatches_.count(pid)) return;
  exitWatches_.emplace(pid, Task::spawn(strand_, awaitExit(weak_from_this(), pid)));
}

asio::awaitable<void> SystemAppProvider::awaitExit(std::weak_ptr<SystemAppProvider> weak, std::int32_t pid) {
  const bool ended = co_await platform::waitForProcessExit(pid);
  auto self = weak.lock();
  if (!self) co_return;
  self->exitWatches_.erase(pid);
  if (ended) {
    self->recent_->handle({RecentAppEvent::Kind::terminated, pid});
    self->broadcaster_->notify();
  }
}

std::vector<RunningAppRecord> SystemAppProvider::records(std::vector<platform::ManagedWindow>& windows) {
  const std::int32_t frontmost = frontmostPID();
  std::lock_guard guard(lock_);
  // The entries are read again only when an applications folder changed.
  auto signature = platform::desktopAppFoldersSignature();
  if (!entriesRead_ || signature != entriesSignature_) {
    entries_ = platform::desktopAppKeys();
    entriesSignature_ = std::move(signature);
    entriesRead_ = true;
  }
  for (auto at = launched_.begin(); at != launched_.end();) {
    at = platform::processAlive(at->first) ? std::next(at) : launched_.erase(at);
  }
  return runningAppRecords(windows, entries_, launched_, frontmost, platform::processExecutable);
}

asio::awaitable<std::vector<AppInfo>> SystemAppProvider::snapshot() {
  if (!windows_) co_return std::vector<AppInfo>{};
  auto managed = windows_->windowsFrontToBack();
  auto apps = records(managed);
  std::vector<WindowRecord> windows;
  windows.reserve(managed.size());
  for (const auto& w : managed) windows.push_back(windowRecord(w));
  auto kept = filterAppWindows(windows, {}, minimizedWindowsByPID(windows));
  std::vector<DisplayInfo> displays;
  if (displays_) displays = co_await displays_->displays();
  co_return groupWindowsByApp(apps, kept, displays, [this, &managed](const RunningAppRecord& record) {
    // An app without a desktop entry's icon shows the icon its first window gives.
    uint32_t window = 0;
    for (const auto& w : managed) {
      if (w.pid == record.pid) {
        window = w.id;
        break;
      }
    }
    return icon(record.bundleID, window);
  });
}

Bytes SystemAppProvider::icon(const std::string& bundleID, uint32_t window) {
  // "pid.N" names no entry, and a process ID may come back for another program: such an app's
  // icon is its window's, kept by the window.
  const bool entry = !bundleID.starts_with("pid.");
  const std::string key = entry ? bundleID : bundleID + "@" + std::to_string(window);
  {
    std::lock_guard guard(lock_);
    if (auto found = icons_.find(key); found != icons_.end()) return found->second;
  }
  Bytes png = entry ? platform::desktopAppIconPNG(bundleID, iconSize) : Bytes{};
  // An app whose entry gives no icon shows the one its window gives.
  if (png.empty() && window != 0 && windows_) {
    if (auto picture = windows_->icon(window, iconSize)) {
      if (auto encoded = platform::encodePNG(*picture)) png = std::move(*encoded);
    }
  }
  std::lock_guard guard(lock_);
  icons_[key] = png;
  return png;
}

AsyncStream<Change> SystemAppProvider::changes() { return broadcaster_->changes(); }

asio::awaitable<std::vector<std::int32_t>> SystemAppProvider::recentPIDs() { co_return recent_->pids(); }

AsyncStream<Change> SystemAppProvider::recentChanges() { return recent_->changes(); }

std::int32_t SystemAppProvider::frontmostPID() {
  if (!windows_) return 0;
  auto active = windows_->window(windows_->activeWindow());
  return active ? active->pid : 0;
}

std::optional<std::int32_t> SystemAppProvider::runningPID(const std::string& bundleID) {
  if (!windows_) return std::nullopt;
  auto managed = windows_->windowsFrontToBack();
  for (const auto& record : records(managed)) {
    if (record.bundleID == bundleID && record.pid > 0) return record.pid;
  }
  return std::nullopt;
}

void SystemAppProvider::noteLaunched(std::int32_t pid, const std::string& bundleID) {
  if (pid < 1) return;
  std::lock_guard guard(lock_);
  launched_[pid] = bundleID;
}

std::optional<std::int32_t> SystemAppLauncher::runningPID(const std::string& bundleID) {
  return apps_->runningPID(bundleID);
}

asio::awaitable<void> SystemAppLauncher::launch(std::string bundleID) {
  auto started = platform::launchDesktopApp(bundleID);
  if (started.error) {
    sessionLog().error("launching %s failed: %s", bundleID.c_str(), started.message.c_str());
    throw LaunchFailure(started.error == platform::DesktopLaunch::Error::notFound ? appNotFoundReason
                                                                                  : cannotOpenAppReason);
  }
  apps_->noteLaunched(started.pid, bundleID);
  co_return;
}

}  // namespace brindlet::host

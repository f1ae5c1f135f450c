#pragma once
// The running apps of the X screen: every process that owns a top-level window of its own,
// recognised as a desktop entry (by StartupWMClass, WM_CLASS or its program) or else named
// "pid.N", with its entry's icon and its usable windows; the order apps were last used in,
// following the active window and process ends; and starting apps by desktop-file ID.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/capture/WindowCatalog.h"
#include "host/control/AppLaunching.h"
#include "host/control/AppProviding.h"
#include "host/control/RecentAppTracker.h"
#include "host/control/WindowEvents.h"
#include "kit/support/Task.h"

namespace brindlet::platform {
class WindowManager;
struct ManagedWindow;
struct DesktopAppKeys;
}  // namespace brindlet::platform

namespace brindlet::host {

class DisplayProviding;

// The running-app records of a window list (front to back): one per process with a normal
// or dialog window, in the order their first window comes. The bundle ID is the one the
// process was launched as, else its matching desktop entry's, else "pid." and the pid.
std::vector<RunningAppRecord> runningAppRecords(const std::vector<platform::ManagedWindow>& windows,
                                                const std::vector<platform::DesktopAppKeys>& entries,
                                                const std::map<std::int32_t, std::string>& launched,
                                                std::int32_t frontmostPID,
                                                const std::function<std::string(std::int32_t)>& executableOf);

// The minimised windows by process, as filterAppWindows takes them: every process with a
// window off screen gets the set of its minimised windows.
std::map<std::int32_t, std::set<std::uint32_t>> minimizedWindowsByPID(const std::vector<WindowRecord>& windows);

class SystemAppProvider final : public AppProviding, public std::enable_shared_from_this<SystemAppProvider> {
 public:
  static std::shared_ptr<SystemAppProvider> make(const Executor& executor, std::shared_ptr<Clock> clock,
                                                 std::shared_ptr<platform::WindowManager> windows,
                                                 std::shared_ptr<WindowEvents> events,
                                                 std::shared_ptr<DisplayProviding> displays);
  ~SystemAppProvider() override;

  asio::awaitable<std::vector<AppInfo>> snapshot() override;
  AsyncStream<Change> changes() override;
  asio::awaitable<std::vector<std::int32_t>> recentPIDs() override;
  AsyncStream<Change> recentChanges() override;
  std::int32_t frontmostPID() override;

  // The first running process of the desktop entry that shows a window; nothing when none.
  std::optional<std::int32_t> runningPID(const std::string& bundleID);
  // Remembers that `pid` was started as the entry `bundleID`.
  void noteLaunched(std::int32_t pid, const std::string& bundleID);

 private:
  SystemAppProvider(const Executor& executor, std::shared_ptr<Clock> clock, std::shared_ptr<platform::WindowManager> windows,
                    std::shared_ptr<DisplayProviding> displays);
  static asio::awaitable<void> follow(std::weak_ptr<SystemAppProvider> weak, AsyncStream<WindowEvent> events);
  void windowsChanged(WindowEvent event);
  // On strand_: follows `pid` until it ends, then takes it off the recent list. A process
  // often closes its windows before it ends, so the window events alone can miss the end.
  void watchExit(std::int32_t pid);
  static asio::awaitable<void> awaitExit(std::weak_ptr<SystemAppProvider> weak, std::int32_t pid);
  std::vector<RunningAppRecord> records(std::vector<platform::ManagedWindow>& windows);
  Bytes icon(const std::string& bundleID, uint32_t window);

  std::shared_ptr<Clock> clock_;
  std::shared_ptr<platform::WindowManager> windows_;
  std::shared_ptr<DisplayProviding> displays_;
  std::shared_ptr<ChangeBroadcaster> broadcaster_;
  std::unique_ptr<RecentAppTracker> recent_;
  std::mutex lock_;
  std::vector<platform::DesktopAppKeys> entries_;              // guarded by lock_
  std::vector<std::optional<std::int64_t>> entriesSignature_;  // guarded by lock_
  bool entriesRead_ = false;                                   // guarded by lock_
  std::map<std::int32_t, std::string> launched_;               // guarded by lock_
  std::map<std::string, Bytes> icons_;                         // guarded by lock_; never evicted
  Strand strand_;
  Task follow_;
  std::map<std::int32_t, Task> exitWatches_;  // on strand_
};

// Starts desktop entries through GIO; the provider recognises what it started.
class SystemAppLauncher final : public AppLaunching {
 public:
  explicit SystemAppLauncher(std::shared_ptr<SystemAppProvider> apps) : apps_(std::move(apps)) {}

  std::optional<std::int32_t> runningPID(const std::string& bundleID) override;
  asio::awaitable<void> launch(std::string bundleID) override;

 private:
  std::shared_ptr<SystemAppProvider> apps_;
};

}  // namespace brindlet::host

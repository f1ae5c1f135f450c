#include "host/control/SystemInstalledApps.h"

#include "platform/apps/DesktopApps.h"

namespace brindlet::host {

namespace {
constexpr int iconSize = 128;
}

InstalledAppsScanner InstalledAppsScanner::desktopEntries() {
  InstalledAppsScanner scanner;
  scanner.scan = [] {
    std::vector<InstalledAppEntry> entries;
    for (auto& app : platform::scanDesktopApps()) {
      entries.push_back({std::move(app.id), std::move(app.name), std::move(app.path)});
    }
    return entries;
  };
  scanner.rootsSignature = [] { return platform::desktopAppFoldersSignature(); };
  scanner.iconPNG = [](const std::string& bundleID, const std::string&) {
    return platform::desktopAppIconPNG(bundleID, iconSize);
  };
  return scanner;
}

std::uint64_t iconHash(const Bytes& png) {
  if (png.empty()) return 0;
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (std::uint8_t byte : png) {
    hash ^= byte;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

SystemInstalledApps::SystemInstalledApps(InstalledAppsScanner scanner, std::shared_ptr<Clock> clock,
                                         double refreshInterval)
    : scanner_(std::move(scanner)), clock_(std::move(clock)), refreshInterval_(refreshInterval) {}

asio::awaitable<std::vector<InstalledApp>> SystemInstalledApps::apps() {
  const auto now = clock_->uptimeNow();
  auto signature = scanner_.rootsSignature();
  {
    std::lock_guard guard(lock_);
    if (scannedAt_ && now - *scannedAt_ < Clock::seconds(refreshInterval_) && signature == signature_) {
      co_return apps_;
    }
  }
  std::vector<InstalledApp> list;
  std::map<std::string, std::string> paths;
  for (const auto& entry : scanner_.scan()) {
    list.push_back({entry.bundleID, entry.name, iconHash(iconPNG(entry.bundleID, entry.path))});
    paths[entry.bundleID] = entry.path;
  }
  std::lock_guard guard(lock_);
  apps_ = list;
  paths_ = std::move(paths);
  scannedAt_ = now;
  signature_ = std::move(signature);
  co_return list;
}

asio::awaitable<Bytes> SystemInstalledApps::icon(std::string bundleID) {
  std::string path;
  {
    std::lock_guard guard(lock_);
    auto found = paths_.find(bundleID);
    if (found == paths_.end()) co_return Bytes{};
    path = found->second;
  }
  co_return iconPNG(bundleID, path);
}

Bytes SystemInstalledApps::iconPNG(const std::string& bundleID, const std::string& path) {
  {
    std::lock_guard guard(lock_);
    if (auto cached = icons_.find(bundleID); cached != icons_.end()) return cached->second;
  }
  Bytes png = scanner_.iconPNG(bundleID, path);
  std::lock_guard guard(lock_);
  icons_[bundleID] = png;
  return png;
}

}  // namespace brindlet::host

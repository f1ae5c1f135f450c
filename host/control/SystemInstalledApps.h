#pragma once

// The installed applications with their icons, kept between requests: a scan is made again
// after `refreshInterval` seconds or as soon as an applications folder changed, and an icon is
// drawn once per app and kept for the provider's life.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "host/control/InstalledAppsProviding.h"

namespace brindlet::host {

struct InstalledAppEntry {
  std::string bundleID;
  std::string name;
  std::string path;

  bool operator==(const InstalledAppEntry&) const = default;
};

// Where the apps come from; the defaults read this computer's desktop entries.
struct InstalledAppsScanner {
  std::function<std::vector<InstalledAppEntry>()> scan;
  // Changes whenever an app is added to or removed from the scanned folders.
  std::function<std::vector<std::optional<std::int64_t>>()> rootsSignature;
  // The app's icon as a 128 × 128 PNG; empty when it has none.
  std::function<Bytes(const std::string& bundleID, const std::string& path)> iconPNG;

  static InstalledAppsScanner desktopEntries();
};

// 64-bit FNV-1a of the bytes; 0 for no bytes.
std::uint64_t iconHash(const Bytes& png);

class SystemInstalledApps final : public InstalledAppsProviding {
 public:
  SystemInstalledApps(InstalledAppsScanner scanner, std::shared_ptr<Clock> clock, double refreshInterval = 60);

  asio::awaitable<std::vector<InstalledApp>> apps() override;
  asio::awaitable<Bytes> icon(std::string bundleID) override;

 private:
  Bytes iconPNG(const std::string& bundleID, const std::string& path);

  InstalledAppsScanner scanner_;
  std::shared_ptr<Clock> clock_;
  double refreshInterval_;
  std::mutex lock_;
  std::vector<InstalledApp> apps_;
  std::map<std::string, std::string> paths_;
  std::map<std::string, Bytes> icons_;
  std::optional<Clock::Duration> scannedAt_;
  std::vector<std::optional<std::int64_t>> signature_;
};

}  // namespace brindlet::host

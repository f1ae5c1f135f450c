#pragma once

#include <string>
#include <vector>

#include "kit/protocol/DesktopRecords.h"
#include "base/Bytes.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

// The applications installed on this computer, and their icons.
class InstalledAppsProviding {
 public:
  virtual ~InstalledAppsProviding() = default;

  virtual asio::awaitable<std::vector<InstalledApp>> apps() = 0;
  // PNG bytes; empty when the last scan did not find that bundle ID.
  virtual asio::awaitable<Bytes> icon(std::string bundleID) = 0;
};

}  // namespace brindlet::host

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <asio/awaitable.hpp>

namespace brindlet::host {

// Starts applications by bundle ID.
class AppLaunching {
 public:
  virtual ~AppLaunching() = default;

  virtual std::optional<std::int32_t> runningPID(const std::string& bundleID) = 0;
  // Throws when the app cannot be started.
  virtual asio::awaitable<void> launch(std::string bundleID) = 0;
};

}  // namespace brindlet::host

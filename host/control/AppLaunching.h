#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <asio/awaitable.hpp>

namespace brindlet::host {

// Why an app could not be started, as the device is told.
struct LaunchFailure : std::runtime_error {
  explicit LaunchFailure(const std::string& reason) : std::runtime_error(reason) {}
  std::string reason() const { return what(); }
};
inline constexpr const char* appNotFoundReason = "App not found";
inline constexpr const char* cannotOpenAppReason = "Couldn\u2019t open the app";

// Starts applications by bundle ID.
class AppLaunching {
 public:
  virtual ~AppLaunching() = default;

  virtual std::optional<std::int32_t> runningPID(const std::string& bundleID) = 0;
  // Throws LaunchFailure (or another error) when the app cannot be started.
  virtual asio::awaitable<void> launch(std::string bundleID) = 0;
};

}  // namespace brindlet::host

#pragma once
// The displays of the X screen, as RandR monitors, and the notices of their changes.
// A display's ID is the atom of its monitor name, stable while the server runs. Frames are
// in the global desktop space with the origin at the top-left corner of the main display;
// X has no separate point size, so points are pixels.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "base/Clock.h"
#include "platform/screen/XConnection.h"

namespace brindlet::platform {

struct ScreenDisplay {
  uint32_t id = 0;
  std::string name;
  bool isMain = false;
  double x = 0, y = 0, width = 0, height = 0;  // global frame, points
  uint32_t pixelWidth = 0, pixelHeight = 0;    // pixels of the current mode
  // Where the display lies on the X screen, in pixels (for capture).
  int32_t rootX = 0, rootY = 0;

  bool operator==(const ScreenDisplay&) const = default;
};

// Flag of a reconfiguration notice sent before a change (the X server sends none).
constexpr uint32_t displayBeginConfigurationFlag = 1u << 0;

// The active displays as `connection` sees them now (see DisplayConfiguration::activeDisplays).
std::vector<ScreenDisplay> readActiveDisplays(XConnection& connection);

class DisplayConfiguration {
 public:
  using ReconfigurationCallback = std::function<void(uint32_t displayID, uint32_t flags)>;

  // Opens its own connection; throws ScreenError when the server cannot be reached.
  static std::unique_ptr<DisplayConfiguration> open(const std::string& displayName = {});
  ~DisplayConfiguration();

  // The active displays in the server's order; main display first when the server marks none.
  std::vector<ScreenDisplay> activeDisplays();

  // How often watch() compares the list of displays.
  static constexpr std::chrono::milliseconds checkInterval{500};

  // Follows the monitors and the screen until it is cancelled: calls `callback` after each
  // change, once per display that the change concerns, on the strand it runs on (whose owner
  // cancels it). It waits for RandR events on a connection of its own and also compares the
  // list every half second of `clock`: the server sends no event when a monitor is set or
  // removed. Ends at once on a server without RandR, and when the connection is lost.
  // Throws ScreenError when the server cannot be reached.
  static asio::awaitable<void> watch(std::shared_ptr<DisplayConfiguration> configuration, std::shared_ptr<Clock> clock,
                                     ReconfigurationCallback callback);

 private:
  explicit DisplayConfiguration(std::unique_ptr<XConnection> c, std::string displayName)
      : connection_(std::move(c)), displayName_(std::move(displayName)) {}

  std::mutex lock_;
  std::unique_ptr<XConnection> connection_;
  std::string displayName_;
};

}  // namespace brindlet::platform

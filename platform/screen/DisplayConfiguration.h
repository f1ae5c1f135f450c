#pragma once
// The displays of the X screen, as RandR monitors, and the notices of their changes.
// A display's ID is the atom of its monitor name, stable while the server runs. Frames are
// in the global desktop space with the origin at the top-left corner of the main display;
// X has no separate point size, so points are pixels.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

  // Calls `callback` on a thread of its own after each change of the monitors or the screen,
  // once per display that the change concerns. Replaces an earlier callback; empty stops.
  void setReconfigurationCallback(ReconfigurationCallback callback);

 private:
  explicit DisplayConfiguration(std::unique_ptr<XConnection> c, std::string displayName)
      : connection_(std::move(c)), displayName_(std::move(displayName)) {}
  void stopWatching();
  void watch(std::unique_ptr<XConnection> watcher, int wakeFd, ReconfigurationCallback callback);

  std::mutex lock_;
  std::unique_ptr<XConnection> connection_;
  std::string displayName_;
  std::thread watcher_;
  int wakeFd_ = -1;
};

}  // namespace brindlet::platform

#pragma once
// Whether the X server has put its monitors to sleep (DPMS standby, suspend or off).
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct _XDisplay;

namespace brindlet::platform {

// One connection to the server, opened once and shared by every caller (any thread): a
// question is one round trip, cheap enough to ask on each relative pointer move.
class MonitorPower {
 public:
  // `displayName` empty: DISPLAY.
  explicit MonitorPower(const std::string& displayName = {});
  ~MonitorPower();
  MonitorPower(const MonitorPower&) = delete;
  MonitorPower& operator=(const MonitorPower&) = delete;

  // True when DPMS is enabled and the monitors are not on; false when they are on; nothing
  // when the server cannot be reached or has no DPMS (Xvfb, for one).
  std::optional<bool> asleep();

 private:
  std::mutex mutex_;
  _XDisplay* display_ = nullptr;
  bool capable_ = false;
};

}  // namespace brindlet::platform

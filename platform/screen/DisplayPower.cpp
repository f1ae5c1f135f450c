#include "platform/screen/DisplayPower.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>

namespace brindlet::platform {

MonitorPower::MonitorPower(const std::string& displayName)
    : display_(XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str())) {
  int event = 0, error = 0;
  capable_ = display_ && DPMSQueryExtension(display_, &event, &error) && DPMSCapable(display_);
}

MonitorPower::~MonitorPower() {
  if (display_) XCloseDisplay(display_);
}

std::optional<bool> MonitorPower::asleep() {
  if (!capable_) return std::nullopt;
  std::lock_guard lock(mutex_);
  CARD16 level = DPMSModeOn;
  BOOL enabled = False;
  if (!DPMSInfo(display_, &level, &enabled)) return std::nullopt;
  return enabled && level != DPMSModeOn;
}

}  // namespace brindlet::platform

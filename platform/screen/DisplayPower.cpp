#include "platform/screen/DisplayPower.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>

namespace brindlet::platform {

struct MonitorPower::Server {
  Display* display = nullptr;
};

MonitorPower::MonitorPower(const std::string& displayName) : server_(std::make_unique<Server>()) {
  server_->display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
  int event = 0, error = 0;
  capable_ = server_->display && DPMSQueryExtension(server_->display, &event, &error) && DPMSCapable(server_->display);
}

MonitorPower::~MonitorPower() {
  if (server_->display) XCloseDisplay(server_->display);
}

std::optional<bool> MonitorPower::asleep() {
  if (!capable_) return std::nullopt;
  std::lock_guard lock(mutex_);
  CARD16 level = DPMSModeOn;
  BOOL enabled = False;
  if (!DPMSInfo(server_->display, &level, &enabled)) return std::nullopt;
  return enabled && level != DPMSModeOn;
}

std::shared_ptr<DisplaySleep> DisplaySleep::open(const std::string& displayName) {
  auto monitors = std::make_shared<MonitorPower>(displayName);
  return std::make_shared<DisplaySleep>([monitors] { return monitors->asleep(); });
}

std::optional<bool> DisplaySleep::asleep() const {
  switch (state_.load()) {
    case awake:
      return false;
    case sleeping:
      return true;
    case unknown:
      break;
  }
  return std::nullopt;
}

asio::awaitable<void> DisplaySleep::follow(std::shared_ptr<DisplaySleep> sleep, std::shared_ptr<Clock> clock) {
  for (;;) {
    std::optional<bool> now = sleep->probe_();
    sleep->state_ = !now ? unknown : *now ? sleeping : awake;
    co_await clock->sleep(refreshInterval);
  }
}

}  // namespace brindlet::platform

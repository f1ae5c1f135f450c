#include "host/app/SystemPowerManager.h"

#include <string>
#include <vector>

#include "host/HostLog.h"

namespace brindlet::host {

SystemPowerManager::SystemPowerManager()
    : SystemPowerManager(std::make_shared<platform::PowerAssertions>(
          std::make_shared<platform::DBusBus>(platform::DBusBus::Kind::session))) {}

SystemPowerManager::SystemPowerManager(std::shared_ptr<platform::PowerAssertions> assertions)
    : assertions_(std::move(assertions)) {}

std::optional<PowerManaging::AssertionID> SystemPowerManager::holdDisplayAwake(std::string_view reason) {
  std::uint32_t id = 0;
  int result = assertions_->preventDisplaySleep(std::string(reason), id);
  if (result != 0) {
    sessionLog().error("display-sleep assertion failed: %d", static_cast<std::int32_t>(result));
    return std::nullopt;
  }
  std::lock_guard lock(mutex_);
  held_.insert(id);
  return id;
}

bool SystemPowerManager::release(AssertionID id) {
  {
    std::lock_guard lock(mutex_);
    if (held_.erase(id) == 0) return false;
  }
  assertions_->release(id);
  return true;
}

void SystemPowerManager::releaseAll() {
  std::set<AssertionID> taken;
  {
    std::lock_guard lock(mutex_);
    taken.swap(held_);
  }
  for (AssertionID id : taken) assertions_->release(id);
}

void SystemPowerManager::wakeDisplay() {
  int result = assertions_->declareUserActivity("Nolu remote session wake");
  sessionLog().info("declared user activity (wake display) result=%d", result);
}

std::set<PowerManaging::AssertionID> SystemPowerManager::held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

}  // namespace brindlet::host

#include "kit/support/KitLog.h"

#include <mutex>

namespace brindlet {

namespace {

std::mutex subsystemLock;
std::string& subsystemName() {
  static std::string name = "io.tavix.nolu.kit";
  return name;
}

}  // namespace

void setKitLogSubsystem(std::string subsystem) {
  std::lock_guard lock(subsystemLock);
  subsystemName() = std::move(subsystem);
}

platform::Logger kitLog(const std::string& category) {
  std::string subsystem;
  {
    std::lock_guard lock(subsystemLock);
    subsystem = subsystemName();
  }
  return platform::Logger(std::move(subsystem), category);
}

}  // namespace brindlet

#include "host/capture/DisplayManager.h"

#include <algorithm>

#include "host/HostLog.h"

namespace brindlet::host {

const DisplayInfo* findDisplay(const std::vector<DisplayInfo>& displays, uint32_t id) {
  auto found = std::find_if(displays.begin(), displays.end(), [id](const DisplayInfo& d) { return d.id == id; });
  return found != displays.end() ? &*found : nullptr;
}

const DisplayInfo* mainOrFirstDisplay(const std::vector<DisplayInfo>& displays) {
  auto main = std::find_if(displays.begin(), displays.end(), [](const DisplayInfo& d) { return d.isMain; });
  if (main != displays.end()) return &*main;
  return displays.empty() ? nullptr : &displays.front();
}

std::vector<DisplayInfo> displayInfos(const std::vector<platform::ScreenDisplay>& displays) {
  std::vector<DisplayInfo> list;
  for (const auto& d : displays) {
    DisplayInfo info;
    info.id = d.id;
    info.name = d.name.empty() ? "Display " + std::to_string(d.id) : d.name;
    info.isMain = d.isMain;
    info.pixelWidth = d.pixelWidth ? d.pixelWidth : static_cast<uint32_t>(d.width);
    info.pixelHeight = d.pixelHeight ? d.pixelHeight : static_cast<uint32_t>(d.height);
    info.frame = DisplayFrame{static_cast<float>(d.x), static_cast<float>(d.y), static_cast<float>(d.width),
                              static_cast<float>(d.height)};
    list.push_back(std::move(info));
  }
  std::stable_sort(list.begin(), list.end(), [](const DisplayInfo& a, const DisplayInfo& b) {
    if (a.isMain != b.isMain) return a.isMain;
    return a.id < b.id;
  });
  return list;
}

std::shared_ptr<DisplayManager> DisplayManager::make(const Executor& executor, std::shared_ptr<Clock> clock,
                                                     std::string displayName) {
  auto broadcaster = ChangeBroadcaster::make(executor, clock);
  std::shared_ptr<DisplayManager> manager(new DisplayManager(executor, broadcaster));
  try {
    manager->configuration_ = platform::DisplayConfiguration::open(displayName);
    std::weak_ptr<ChangeBroadcaster> weak = broadcaster;
    platform::DisplayConfiguration::ReconfigurationCallback notify = [weak](uint32_t, uint32_t flags) {
      if (flags & platform::displayBeginConfigurationFlag) return;
      if (auto b = weak.lock()) b->notify();
    };
    manager->watch_ =
        manager->spawn(platform::DisplayConfiguration::watch(manager->configuration_, std::move(clock), notify));
  } catch (const platform::ScreenError& e) {
    sessionLog().error("displays unavailable: %s", e.what());
    manager->configuration_.reset();
  }
  return manager;
}

DisplayManager::~DisplayManager() = default;

asio::awaitable<std::vector<DisplayInfo>> DisplayManager::displays() {
  auto self = shared_from_this();
  auto op = self->displaysIsolated();
  co_return co_await isolated(std::move(op));
}

asio::awaitable<std::vector<DisplayInfo>> DisplayManager::displaysIsolated() {
  if (!configuration_) co_return std::vector<DisplayInfo>{};
  co_return displayInfos(configuration_->activeDisplays());
}

}  // namespace brindlet::host

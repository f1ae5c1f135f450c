#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "host/control/MenuSource.h"

namespace brindlet::platform {
class Accessibility;
}

namespace brindlet::host {

class FrontmostApps;

// The menus of the desktop's apps, read and pressed through their accessibility trees. Every
// read and press runs on the accessibility layer's thread, never on the caller's strand: an
// app that is slow to answer holds only that thread, for at most the read's deadline.
class SystemMenuSource final : public MenuSource {
 public:
  SystemMenuSource(std::shared_ptr<platform::Accessibility> accessibility, std::shared_ptr<FrontmostApps> apps,
                   std::shared_ptr<Clock> clock);

  std::optional<FrontmostApp> frontmostApp() override;
  AsyncStream<Change> activations() override;
  asio::awaitable<std::optional<MenuTree>> readMenus(std::int32_t pid) override;
  asio::awaitable<MenuPressResult> press(std::int32_t pid, std::vector<std::string> path) override;

  // The bodies of a read and a press, on the accessibility layer's thread.
  static std::optional<MenuTree> readMenusNow(platform::Accessibility& accessibility, const Clock& clock,
                                              std::int32_t pid);
  static MenuPressResult pressNow(platform::Accessibility& accessibility, std::int32_t pid,
                                  const std::vector<std::string>& path);

 private:
  std::shared_ptr<platform::Accessibility> accessibility_;
  std::shared_ptr<FrontmostApps> apps_;
  std::shared_ptr<Clock> clock_;
};

}  // namespace brindlet::host

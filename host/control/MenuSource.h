#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/capture/ChangeBroadcaster.h"
#include "kit/protocol/DesktopRecords.h"
#include "kit/support/AsyncStream.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

enum class MenuPressResult { pressed, notFound, failed };

// An app's menu tree as read. `cut`: the read ran out of time or elements, or the tree was
// longer than a tree may be, so items past what it holds may exist.
struct MenuTree {
  std::vector<MenuNode> menus;
  bool cut = false;

  bool operator==(const MenuTree&) const = default;
};

// The menus of the frontmost app: reading them and pressing an item.
class MenuSource {
 public:
  struct FrontmostApp {
    std::int32_t pid = 0;
    std::string bundleID;
    std::string name;

    bool operator==(const FrontmostApp&) const = default;
  };

  virtual ~MenuSource() = default;

  virtual std::optional<FrontmostApp> frontmostApp() = 0;
  // One element per app activation.
  virtual AsyncStream<Change> activations() = 0;
  // The app's menu tree, nothing when it cannot be read.
  virtual asio::awaitable<std::optional<MenuTree>> readMenus(std::int32_t pid) = 0;
  virtual asio::awaitable<MenuPressResult> press(std::int32_t pid, std::vector<std::string> path) = 0;
};

}  // namespace brindlet::host

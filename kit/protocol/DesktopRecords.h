#pragma once

// Windows, apps, stream mode, launches, menus and text focus as the two ends exchange them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "kit/protocol/MediaRecords.h"
#include "kit/protocol/RawEnum.h"
#include "base/Bytes.h"

namespace brindlet {

// One window of a running app.
struct WindowInfo {
  std::uint32_t id = 0;
  std::string title;
  DisplayFrame frame;
  std::uint32_t displayID = 0;
  bool isOnScreen = false;
  bool isMinimized = false;

  bool operator==(const WindowInfo&) const = default;
};

// One running app.
struct AppInfo {
  std::int32_t pid = 0;
  std::string bundleID;
  std::string name;
  Bytes icon;
  bool isFrontmost = false;
  std::vector<WindowInfo> windows;

  bool operator==(const AppInfo&) const = default;
};

// One installed app; iconHash is fnv1aHash of its icon's PNG bytes.
struct InstalledApp {
  std::string bundleID;
  std::string name;
  std::uint64_t iconHash = 0;

  bool operator==(const InstalledApp&) const = default;
};

// The stream either follows one window of one app, or shows the display.
struct StreamModeFocus {
  std::int32_t pid = 0;
  std::uint32_t windowID = 0;
  bool operator==(const StreamModeFocus&) const = default;
};
struct StreamModeDesktop {
  bool operator==(const StreamModeDesktop&) const = default;
};

struct StreamMode {
  using Focus = StreamModeFocus;
  using Desktop = StreamModeDesktop;

  std::variant<Focus, Desktop> value;

  StreamMode() : value(Desktop{}) {}
  StreamMode(Focus f) : value(f) {}
  StreamMode(Desktop d) : value(d) {}
  static StreamMode focus(std::int32_t pid, std::uint32_t windowID) { return StreamMode(Focus{pid, windowID}); }
  static StreamMode desktop() { return StreamMode(Desktop{}); }

  bool isDesktop() const { return std::holds_alternative<Desktop>(value); }
  // The focused window, or nothing in desktop mode.
  const Focus* focused() const { return std::get_if<Focus>(&value); }

  bool operator==(const StreamMode&) const = default;
};

struct FocusFollowInfo {
  enum class Kind : std::uint8_t { window = 1, popup = 2 };

  Kind kind = Kind::window;
  std::string appName;
  std::string title;
  bool canGoBack = false;

  bool operator==(const FocusFollowInfo&) const = default;
};
template <>
struct RawRange<FocusFollowInfo::Kind> {
  static constexpr std::uint8_t first = 1, last = 2;
};

// The stream mode as the host reports it.
struct StreamModeInfo {
  StreamMode mode;
  bool fitApplied = false;
  std::optional<std::string> notice;
  NormalizedRect surface;
  std::optional<FocusFollowInfo> follow;

  bool operator==(const StreamModeInfo&) const = default;
};

enum class LaunchState : std::uint8_t {
  launching = 1,
  focused = 2,
  broughtToFront = 3,
  noWindow = 4,
  failed = 5,
  cancelled = 6,
};
template <>
struct RawRange<LaunchState> {
  static constexpr std::uint8_t first = 1, last = 6;
};

// Progress of one app launch the device asked for.
struct LaunchStatus {
  std::string bundleID;
  LaunchState state = LaunchState::launching;
  std::uint32_t elapsedMs = 0;
  std::string detail;

  bool operator==(const LaunchStatus&) const = default;
};

enum class LaunchAction : std::uint8_t { cancel = 1, newWindow = 2, keepWaiting = 3 };
template <>
struct RawRange<LaunchAction> {
  static constexpr std::uint8_t first = 1, last = 3;
};

enum class MenuMark : std::uint8_t { none = 0, check = 1, mixed = 2, bullet = 3 };
template <>
struct RawRange<MenuMark> {
  static constexpr std::uint8_t first = 0, last = 3;
};

// One item of an app's menu bar, with its submenu.
struct MenuNode {
  std::string title;
  std::string key;
  std::uint8_t modifiers = 0;
  bool enabled = false;
  MenuMark mark = MenuMark::none;
  bool separatorBefore = false;
  std::vector<MenuNode> children;

  // Bits of `modifiers` (not the order of ModifierFlags: option and control are swapped).
  static constexpr std::uint8_t shiftKey = 0x01;
  static constexpr std::uint8_t optionKey = 0x02;
  static constexpr std::uint8_t controlKey = 0x04;
  static constexpr std::uint8_t commandKey = 0x08;

  // Limits of a menu tree: levels below the top one that carry children, and nodes in all.
  static constexpr int maxDepth = 4;
  static constexpr int maxNodes = 3000;

  // Nodes in the subtree rooted here: 1 plus the item count of each child.
  std::size_t itemCount() const {
    std::size_t count = 1;
    for (const MenuNode& child : children) count += child.itemCount();
    return count;
  }

  bool operator==(const MenuNode&) const = default;
};

enum class TextFocusKind : std::uint8_t {
  none = 0,
  field = 1,
  area = 2,
  search = 3,
  secure = 4,
  web = 5,
  terminal = 6,
};
template <>
struct RawRange<TextFocusKind> {
  static constexpr std::uint8_t first = 0, last = 6;
};

}  // namespace brindlet

template <>
struct std::hash<brindlet::InstalledApp> {
  std::size_t operator()(const brindlet::InstalledApp& app) const noexcept {
    std::size_t h = std::hash<std::string>{}(app.bundleID);
    h = h * 31 + std::hash<std::string>{}(app.name);
    return h * 31 + std::hash<std::uint64_t>{}(app.iconHash);
  }
};

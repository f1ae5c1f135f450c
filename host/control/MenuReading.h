#pragma once

// The rules of reading an app's menu bar into MenuNodes, finding an item by its path of titles
// and typing an item's keyboard shortcut. SystemMenuSource applies them to the accessibility
// tree; they are kept apart from it so they hold for any tree.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/control/LayoutKeystroke.h"
#include "kit/protocol/DesktopRecords.h"
#include "kit/protocol/InputRecords.h"

namespace brindlet::host {

// One menu item as read.
struct RawMenuItem {
  std::string title;     // empty: a separator
  std::string cmdChar;   // the shortcut's key, empty without one
  int cmdModifiers = 0;  // 0x01 shift, 0x02 option, 0x04 control, 0x08 no command key
  bool enabled = true;
  std::string markChar;
  std::vector<RawMenuItem> children;

  bool operator==(const RawMenuItem&) const = default;
};

// Limits of one read.
inline constexpr auto menuReadDeadline = std::chrono::milliseconds(1500);
inline constexpr int menuReadMaxElements = 3200;
inline constexpr int menuLevels = 4;  // menu-bar titles, their items, submenu items, sub-submenu items

// What one read may still spend: shared by every level of the walk.
struct MenuReadBudget {
  std::function<bool()> pastDeadline;
  int nodes = 0;
  bool exhausted = false;  // set when the walk stopped early
};

// Walks a menu bar's items, depth first, into RawMenuItems. `Access` gives the items of an
// element (`items(e)`: of the menu bar, or of the submenu an item opens) and an item's
// attributes (`attributes(e)`: a RawMenuItem without children). When the deadline passes or
// more than menuReadMaxElements elements would be read, the walk stops and keeps what it read
// so far, with `budget.exhausted` set: a large app's menus are still usable.
template <class Element, class Access>
std::vector<RawMenuItem> walkMenuElement(const Element& element, int depth, MenuReadBudget& budget, Access& access) {
  std::vector<RawMenuItem> items;
  for (const Element& child : access.items(element)) {
    if (budget.exhausted || budget.nodes >= menuReadMaxElements || budget.pastDeadline()) {
      budget.exhausted = true;
      return items;
    }
    ++budget.nodes;
    RawMenuItem item = access.attributes(child);
    if (depth <= menuLevels - 1) item.children = walkMenuElement(child, depth + 1, budget, access);
    items.push_back(std::move(item));
  }
  return items;
}

// The nodes of a menu bar read: the system menu ("Apple") left out, separators folded into
// `separatorBefore`, at most MenuNode::maxNodes nodes (depth first, parents first) and
// MenuNode::maxDepth levels; `truncated` is set when something was left out for those limits.
std::vector<MenuNode> menuNodes(const std::vector<RawMenuItem>& items, bool& truncated);

// The mark of a menu item's mark character.
MenuMark menuMark(const std::string& markChar);

// The node at `path` (titles from the top level down): at each level the first enabled node
// of that title, else the first of that title. Nothing for an empty path.
const MenuNode* findMenuNode(const std::vector<std::string>& path, const std::vector<MenuNode>& menus);

// The key events that type a menu item's shortcut (`key`, with `modifiers` in MenuNode's
// bits) on the current layout through `layout` (a character to its key); nothing when it
// cannot be typed.
using KeyLayoutLookup = std::function<std::optional<LayoutKeystroke>(const std::string&)>;
std::optional<std::vector<KeyEvent>> shortcutKeyEvents(const std::string& key, std::uint8_t modifiers,
                                                       const KeyLayoutLookup& layout);

}  // namespace brindlet::host

#include "host/control/MenuReading.h"

#include <map>
#include <unordered_map>

#include "host/control/HIDKeyTable.h"
#include "host/control/LayoutReverseMap.h"

namespace brindlet::host {

namespace {

void convertLevel(const std::vector<RawMenuItem>& items, int depth, int& counter, bool& truncated,
                  std::vector<MenuNode>& into) {
  bool separatorPending = false;
  for (const RawMenuItem& item : items) {
    if (truncated && counter >= MenuNode::maxNodes) return;
    if (item.title.empty()) {
      separatorPending = true;
      continue;
    }
    if (counter >= MenuNode::maxNodes) {
      truncated = true;
      return;
    }
    ++counter;
    const std::uint8_t modifiers =
        item.cmdChar.empty() ? 0 : std::uint8_t((item.cmdModifiers & 0x0F) ^ MenuNode::commandKey);
    MenuNode node{
        item.title, item.cmdChar, modifiers, item.enabled, menuMark(item.markChar), separatorPending && !into.empty(),
        {}};
    separatorPending = false;
    if (!item.children.empty()) {
      if (depth >= MenuNode::maxDepth) {
        truncated = true;
      } else {
        convertLevel(item.children, depth + 1, counter, truncated, node.children);
      }
    }
    into.push_back(std::move(node));
  }
}

// A menu key character to its key: return, escape, arrows, F-keys and the like.
const std::map<char32_t, HIDUsage>& specialMenuKeyTable() {
  static const std::map<char32_t, HIDUsage> table = [] {
    std::map<char32_t, HIDUsage> t = {
        {0x0D, HIDUsage{0x28}},   {0x0A, HIDUsage{0x28}},   {0x1B, HIDUsage{0x29}},   {0x08, HIDUsage{0x2A}},
        {0x7F, HIDUsage{0x2A}},   {0x09, HIDUsage{0x2B}},   {0x20, HIDUsage{0x2C}},   {0xF700, HIDUsage{0x52}},
        {0xF701, HIDUsage{0x51}}, {0xF702, HIDUsage{0x50}}, {0xF703, HIDUsage{0x4F}}, {0xF728, HIDUsage{0x4C}},
        {0xF729, HIDUsage{0x4A}}, {0xF72B, HIDUsage{0x4D}}, {0xF72C, HIDUsage{0x4B}}, {0xF72D, HIDUsage{0x4E}},
    };
    for (char32_t f = 0; f < 12; ++f) t.emplace(0xF704 + f, HIDUsage{std::uint16_t(0x3A + f)});
    return t;
  }();
  return table;
}

// Virtual key code to HID usage, for the usages below the modifiers.
const std::unordered_map<std::uint16_t, HIDUsage>& keyCodeToHIDUsage() {
  static const std::unordered_map<std::uint16_t, HIDUsage> table = [] {
    std::unordered_map<std::uint16_t, HIDUsage> t;
    for (const auto& [usage, code] : hidUsageToKeyCode()) {
      if (usage.rawValue < 0xE0) t.emplace(code, usage);
    }
    return t;
  }();
  return table;
}

}  // namespace

MenuMark menuMark(const std::string& markChar) {
  if (markChar.empty()) return MenuMark::none;
  if (markChar == "\u2022" || markChar == "\u25CF") return MenuMark::bullet;
  if (markChar == "-" || markChar == "\u2013" || markChar == "\u2014" || markChar == "\u2212") return MenuMark::mixed;
  return MenuMark::check;
}

std::vector<MenuNode> menuNodes(const std::vector<RawMenuItem>& items, bool& truncated) {
  truncated = false;
  std::vector<MenuNode> nodes;
  int counter = 0;
  if (!items.empty() && items.front().title == "Apple") {
    std::vector<RawMenuItem> rest(items.begin() + 1, items.end());
    convertLevel(rest, 1, counter, truncated, nodes);
  } else {
    convertLevel(items, 1, counter, truncated, nodes);
  }
  return nodes;
}

const MenuNode* findMenuNode(const std::vector<std::string>& path, const std::vector<MenuNode>& menus) {
  const std::vector<MenuNode>* level = &menus;
  const MenuNode* chosen = nullptr;
  if (path.empty()) return nullptr;
  for (const std::string& title : path) {
    chosen = nullptr;
    const MenuNode* first = nullptr;
    for (const MenuNode& node : *level) {
      if (node.title != title) continue;
      if (!first) first = &node;
      if (node.enabled) {
        chosen = &node;
        break;
      }
    }
    if (!chosen) chosen = first;
    if (!chosen) return nullptr;
    level = &chosen->children;
  }
  return chosen;
}

std::optional<std::vector<KeyEvent>> shortcutKeyEvents(const std::string& key, std::uint8_t modifiers,
                                                       const KeyLayoutLookup& layout) {
  std::vector<std::u16string> characters = graphemeClusters(utf16(key));
  if (characters.size() != 1) return std::nullopt;
  const std::u16string& unit = characters.front();
  char32_t scalar = unit[0];
  if (unit.size() == 2 && unit[0] >= 0xD800 && unit[0] < 0xDC00) {
    scalar = 0x10000 + ((char32_t(unit[0]) - 0xD800) << 10) + (char32_t(unit[1]) - 0xDC00);
  }
  HIDUsage usage;
  const auto& special = specialMenuKeyTable();
  if (unit.size() <= 2 && special.count(scalar)) {
    usage = special.at(scalar);
  } else {
    std::optional<LayoutKeystroke> stroke;
    std::u16string lower = unit;
    if (lower.size() == 1 && lower[0] < 0x80) lower[0] = char16_t(std::tolower(int(lower[0])));
    if (layout) stroke = layout(utf8(lower));
    if (!stroke && layout) stroke = layout(key);
    if (!stroke) return std::nullopt;
    auto found = keyCodeToHIDUsage().find(stroke->keyCode);
    if (found == keyCodeToHIDUsage().end()) return std::nullopt;
    usage = found->second;
    if (stroke->shift) modifiers |= MenuNode::shiftKey;
    if (stroke->option) modifiers |= MenuNode::optionKey;
  }
  struct ModifierKey {
    std::uint8_t bit;
    HIDUsage usage;
    ModifierFlags flag;
  };
  const ModifierKey order[] = {{MenuNode::controlKey, HIDUsage{0xE0}, ModifierFlags::control},
                               {MenuNode::optionKey, HIDUsage{0xE2}, ModifierFlags::option},
                               {MenuNode::shiftKey, HIDUsage{0xE1}, ModifierFlags::shift},
                               {MenuNode::commandKey, HIDUsage{0xE3}, ModifierFlags::command}};
  std::vector<KeyEvent> events;
  std::vector<const ModifierKey*> held;
  ModifierFlags flags;
  for (const ModifierKey& m : order) {
    if (!(modifiers & m.bit)) continue;
    flags.insert(m.flag);
    events.push_back(KeyEvent{m.usage, true, flags});
    held.push_back(&m);
  }
  events.push_back(KeyEvent{usage, true, flags});
  events.push_back(KeyEvent{usage, false, flags});
  for (auto it = held.rbegin(); it != held.rend(); ++it) {
    flags.remove((*it)->flag);
    events.push_back(KeyEvent{(*it)->usage, false, flags});
  }
  return events;
}

}  // namespace brindlet::host

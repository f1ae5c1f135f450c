// The rules of reading menus into nodes, finding items, typing shortcuts and classifying the
// text focus, on trees and elements made by the tests.

#include <gtest/gtest.h>

#include "host/control/MenuReading.h"
#include "host/control/SystemTextFocusSource.h"
#include "platform/accessibility/Accessibility.h"

namespace brindlet::host {
namespace {

RawMenuItem item(std::string title, std::vector<RawMenuItem> children = {}) {
  RawMenuItem raw;
  raw.title = std::move(title);
  raw.children = std::move(children);
  return raw;
}
RawMenuItem separator() { return item(""); }

std::vector<std::string> titles(const std::vector<MenuNode>& nodes) {
  std::vector<std::string> out;
  for (const auto& n : nodes) out.push_back(n.title);
  return out;
}

TEST(MenuNodesTest, TheSystemMenuIsLeftOutOnlyWhenFirst) {
  bool truncated = true;
  EXPECT_EQ(titles(menuNodes({item("Apple"), item("File")}, truncated)), (std::vector<std::string>{"File"}));
  EXPECT_FALSE(truncated);
  EXPECT_EQ(titles(menuNodes({item("File"), item("Apple")}, truncated)), (std::vector<std::string>{"File", "Apple"}));
}

TEST(MenuNodesTest, SeparatorsFoldIntoTheNextItem) {
  bool truncated = false;
  auto nodes =
      menuNodes({item("M", {separator(), item("A"), separator(), separator(), item("B"), separator()})}, truncated);
  ASSERT_EQ(nodes.size(), 1u);
  const auto& level = nodes[0].children;
  ASSERT_EQ(titles(level), (std::vector<std::string>{"A", "B"}));
  EXPECT_FALSE(level[0].separatorBefore);
  EXPECT_TRUE(level[1].separatorBefore);
}

TEST(MenuNodesTest, ShortcutModifiersAndMarks) {
  struct Case {
    std::string key;
    int cmdModifiers;
    std::string mark;
    std::uint8_t modifiers;
    MenuMark expectedMark;
  };
  const Case cases[] = {
      {"S", 0, "", 0x08, MenuMark::none},         {"S", 1, "\u2713", 0x09, MenuMark::check},
      {"S", 8, "\u2022", 0x00, MenuMark::bullet}, {"S", 4 | 8, "-", 0x04, MenuMark::mixed},
      {"", 1, "\u2212", 0x00, MenuMark::mixed},   {"S", 0x10, "x", 0x08, MenuMark::check},
  };
  for (const Case& c : cases) {
    RawMenuItem raw = item("Save");
    raw.cmdChar = c.key;
    raw.cmdModifiers = c.cmdModifiers;
    raw.markChar = c.mark;
    bool truncated = false;
    auto nodes = menuNodes({raw}, truncated);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].modifiers, c.modifiers) << c.key << " " << c.cmdModifiers;
    EXPECT_EQ(nodes[0].mark, c.expectedMark) << c.mark;
  }
}

TEST(MenuNodesTest, TreesKeepTheFirstNodesAndLevels) {
  std::vector<RawMenuItem> many;
  for (int i = 0; i < 2; ++i) {
    RawMenuItem menu = item("M" + std::to_string(i));
    for (int j = 0; j < 1600; ++j) menu.children.push_back(item("I" + std::to_string(j)));
    many.push_back(menu);
  }
  bool truncated = false;
  auto nodes = menuNodes(many, truncated);
  EXPECT_TRUE(truncated);
  std::size_t total = 0;
  for (const auto& n : nodes) total += n.itemCount();
  EXPECT_EQ(total, 3000u);
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[1].children.size(), 3000u - 1 - 1600 - 1);

  auto deep = menuNodes({item("1", {item("2", {item("3", {item("4", {item("5")})})})})}, truncated);
  EXPECT_TRUE(truncated);
  EXPECT_TRUE(deep[0].children[0].children[0].children[0].children.empty());
}

// A tree of items for the walk: an element is an index into `items`.
struct FakeMenus {
  struct Node {
    RawMenuItem attributes;
    std::vector<int> children;
  };
  std::vector<Node> nodes;
  int reads = 0;

  int add(std::string title, int parent) {
    nodes.push_back(Node{item(std::move(title)), {}});
    int id = int(nodes.size()) - 1;
    if (parent >= 0) nodes[std::size_t(parent)].children.push_back(id);
    return id;
  }
  std::vector<int> items(int element) { return nodes[std::size_t(element)].children; }
  RawMenuItem attributes(int element) {
    ++reads;
    return nodes[std::size_t(element)].attributes;
  }
};

TEST(MenuWalkTest, AWalkOverTheElementBudgetKeepsWhatItRead) {
  FakeMenus menus;
  int bar = menus.add("", -1);
  for (int m = 0; m < 4; ++m) {
    int menu = menus.add("Menu " + std::to_string(m), bar);
    for (int i = 0; i < 1000; ++i) menus.add("Item " + std::to_string(i), menu);
  }
  MenuReadBudget budget;
  budget.pastDeadline = [] { return false; };
  auto items = walkMenuElement(bar, 1, budget, menus);
  EXPECT_TRUE(budget.exhausted);
  EXPECT_EQ(menus.reads, menuReadMaxElements);
  // Menus 0-2 whole (3 x 1001 elements), then the fourth menu with what was left.
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[2].children.size(), 1000u);
  EXPECT_EQ(items[3].children.size(), std::size_t(menuReadMaxElements - 3 * 1001 - 1));
  EXPECT_EQ(items[3].children.back().title, "Item " + std::to_string(menuReadMaxElements - 3 * 1001 - 2));
}

TEST(MenuWalkTest, AWalkPastItsDeadlineStopsWithAPartialTree) {
  FakeMenus menus;
  int bar = menus.add("", -1);
  int file = menus.add("File", bar);
  menus.add("New", file);
  menus.add("Open", file);
  menus.add("Edit", bar);
  MenuReadBudget budget;
  budget.pastDeadline = [&menus] { return menus.reads >= 2; };
  auto items = walkMenuElement(bar, 1, budget, menus);
  EXPECT_TRUE(budget.exhausted);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].title, "File");
  ASSERT_EQ(items[0].children.size(), 1u);
  EXPECT_EQ(items[0].children[0].title, "New");
}

TEST(FindMenuNodeTest, PrefersTheFirstEnabledNodeOfATitle) {
  MenuNode disabled{"Copy", "", 0, false, MenuMark::none, false, {}};
  MenuNode enabled{"Copy", "C", 8, true, MenuMark::none, false, {}};
  MenuNode edit{"Edit", "", 0, true, MenuMark::none, false, {disabled, enabled}};
  std::vector<MenuNode> menus{edit};
  const MenuNode* found = findMenuNode({"Edit", "Copy"}, menus);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->key, "C");
  EXPECT_EQ(findMenuNode({}, menus), nullptr);
  EXPECT_EQ(findMenuNode({"Edit", "Cut"}, menus), nullptr);
  EXPECT_EQ(findMenuNode({"Edit"}, menus)->title, "Edit");
}

TEST(ShortcutKeyEventsTest, ModifiersGoDownInOrderAndUpInReverse) {
  // The US layout's key for "s" is the virtual key 1.
  KeyLayoutLookup us = [](const std::string& c) -> std::optional<LayoutKeystroke> {
    if (c == "s") return LayoutKeystroke{1, false, false};
    return std::nullopt;
  };
  auto events = shortcutKeyEvents("S", MenuNode::commandKey | MenuNode::shiftKey, us);
  ASSERT_TRUE(events);
  const ModifierFlags shift = ModifierFlags::shift, both = ModifierFlags::shift | ModifierFlags::command;
  std::vector<KeyEvent> expected = {
      {HIDUsage{0xE1}, true, shift}, {HIDUsage{0xE3}, true, both},   {HIDUsage::s, true, both},
      {HIDUsage::s, false, both},    {HIDUsage{0xE3}, false, shift}, {HIDUsage{0xE1}, false, ModifierFlags()},
  };
  EXPECT_EQ(*events, expected);

  auto control = shortcutKeyEvents("S", MenuNode::controlKey, us);
  ASSERT_TRUE(control);
  EXPECT_EQ(control->front(), (KeyEvent{HIDUsage{0xE0}, true, ModifierFlags::control}));

  auto up = shortcutKeyEvents("\uF700", 0, nullptr);
  ASSERT_TRUE(up);
  EXPECT_EQ(*up, (std::vector<KeyEvent>{{HIDUsage{0x52}, true, {}}, {HIDUsage{0x52}, false, {}}}));
  EXPECT_FALSE(shortcutKeyEvents("x", 0, us));
  EXPECT_FALSE(shortcutKeyEvents("ab", 0, us));
  EXPECT_FALSE(shortcutKeyEvents("", 0, us));
}

TEST(MenuKeyBindingTest, ToolkitBindingsBecomeKeysAndModifiers) {
  struct Case {
    const char* binding;
    const char* key;
    int modifiers;
  };
  const Case cases[] = {
      {";;<Primary>n", "N", 0x04 | 0x08},
      {"<Control><Shift>s", "S", 0x05 | 0x08},
      {";;<Alt>Up", "\uF700", 0x02 | 0x08},
      {";;F3", "\uF706", 0x08},
      {"<Super>q", "Q", 0x00},
      {"<Return>", "\r", 0x08},
      {";;<Primary>plus", "+", 0x04 | 0x08},
      {"", "", 0},
      {"<VoidSymbol>", "", 0},
      {"n;;", "", 0},
  };
  for (const Case& c : cases) {
    platform::MenuItemAttributes attributes;
    platform::parseMenuKeyBinding(c.binding, attributes);
    EXPECT_EQ(attributes.cmdChar, c.key) << c.binding;
    EXPECT_EQ(attributes.cmdModifiers, c.modifiers) << c.binding;
  }
}

TEST(TextFocusTest, ClassificationFirstMatchWins) {
  struct Case {
    std::string bundleID;
    std::optional<std::string> role, subrole;
    bool editable;
    bool isText;
    TextFocusKind kind;
  };
  const Case cases[] = {
      {"com.apple.Terminal", "AXButton", {}, false, true, TextFocusKind::terminal},
      {"app", "AXTextField", "AXSecureTextField", true, true, TextFocusKind::secure},
      {"app", "AXTextField", "AXSearchField", true, true, TextFocusKind::search},
      {"app", "AXSearchField", {}, true, true, TextFocusKind::search},
      {"app", "AXTextField", {}, true, true, TextFocusKind::field},
      {"app", "AXComboBox", {}, false, true, TextFocusKind::field},
      {"app", "AXTextArea", {}, true, true, TextFocusKind::area},
      {"app", "document web", {}, true, true, TextFocusKind::web},
      {"app", "push button", {}, false, false, TextFocusKind::none},
      {"app", {}, {}, false, false, TextFocusKind::none},
  };
  const Rect frame{10, 20, 30, 40};
  for (const Case& c : cases) {
    TextFocus focus = classifyTextFocus(c.bundleID, TextFocusElement{c.role, c.subrole, c.editable, frame});
    EXPECT_EQ(focus.isText, c.isText) << c.role.value_or("-");
    EXPECT_EQ(focus.kind, c.kind) << c.role.value_or("-");
    EXPECT_EQ(focus.bundleID, c.bundleID);
    EXPECT_EQ(focus.frame.has_value(), c.isText);
  }
}

TEST(TextFocusTest, AFieldThatMovesIsTheSameFocus) {
  TextFocus a{true, "app", TextFocusKind::field, Rect{0, 0, 10, 10}};
  TextFocus b{true, "app", TextFocusKind::field, Rect{50, 50, 10, 10}};
  EXPECT_EQ(a, b);
  b.kind = TextFocusKind::area;
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace brindlet::host

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "kit/protocol/WireCodec.h"
#include "kit/protocol/WireDecoder.h"

namespace brindlet {
namespace {

MenuNode node(std::string title, std::vector<MenuNode> children = {}) {
  return MenuNode{std::move(title), "", 0, true, MenuMark::none, false, std::move(children)};
}

std::size_t countNodes(const std::vector<MenuNode>& nodes) {
  std::size_t n = 0;
  for (const MenuNode& m : nodes) n += m.itemCount();
  return n;
}

std::size_t deepestLevel(const std::vector<MenuNode>& nodes, std::size_t level = 1) {
  std::size_t deepest = nodes.empty() ? level - 1 : level;
  for (const MenuNode& m : nodes) deepest = std::max(deepest, deepestLevel(m.children, level + 1));
  return deepest;
}

// True when every node of `sent` stands at the same place in `original` with the same fields.
bool isCutOf(const std::vector<MenuNode>& sent, const std::vector<MenuNode>& original) {
  if (sent.size() > original.size()) return false;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const MenuNode& a = sent[i];
    const MenuNode& b = original[i];
    if (a.title != b.title || a.key != b.key || a.modifiers != b.modifiers || a.enabled != b.enabled ||
        a.mark != b.mark || a.separatorBefore != b.separatorBefore || !isCutOf(a.children, b.children)) {
      return false;
    }
  }
  return true;
}

// Encodes the tree in an appActions message and decodes it again.
std::vector<MenuNode> sendMenus(const std::vector<MenuNode>& menus) {
  WireDecoder decoder;
  decoder.append(WireCodec::encode(msg::AppActions{"com.example.app", "App", 3, menus}));
  std::optional<Message> message = decoder.nextMessage();  // throws if the reader refuses the tree
  EXPECT_TRUE(message);
  return message ? message->as<msg::AppActions>()->menus : std::vector<MenuNode>{};
}

// A menu bar of `menus` menus with `items` items each, every item with `subitems` leaves.
std::vector<MenuNode> menuBar(int menus, int items, int subitems) {
  std::vector<MenuNode> bar;
  for (int m = 0; m < menus; ++m) {
    std::vector<MenuNode> entries;
    for (int i = 0; i < items; ++i) {
      std::vector<MenuNode> leaves;
      for (int s = 0; s < subitems; ++s)
        leaves.push_back(node(std::to_string(m) + "." + std::to_string(i) + "." + std::to_string(s)));
      entries.push_back(node(std::to_string(m) + "." + std::to_string(i), std::move(leaves)));
    }
    bar.push_back(node("Menu " + std::to_string(m), std::move(entries)));
  }
  return bar;
}

TEST(MenuTree, ItemCountCoversTheSubtree) {
  EXPECT_EQ(node("leaf").itemCount(), 1u);
  EXPECT_EQ(node("parent", {node("a"), node("b")}).itemCount(), 3u);
}

TEST(MenuTree, TreesWithinTheBudgetTravelWhole) {
  // 3 menus of 333 items with 2 leaves each: 3 + 999 * 3 = 3000 nodes, exactly the budget.
  const std::vector<MenuNode> bar = menuBar(3, 333, 2);
  ASSERT_EQ(countNodes(bar), 3000u);
  EXPECT_EQ(sendMenus(bar), bar);
}

TEST(MenuTree, FifthLevelIsLeftOutAndRefusedWhenReceived) {
  const std::vector<MenuNode> five = {node("1", {node("2", {node("3", {node("4", {node("5")})})})})};
  const std::vector<MenuNode> sent = sendMenus(five);
  const std::vector<MenuNode> four = {node("1", {node("2", {node("3", {node("4")})})})};
  EXPECT_EQ(sent, four);

  // A received tree with a node at the fifth level: its child list lies at depth 6.
  Bytes payload = {0x3A, 0, 0, 0, 0, 0, 0, 0, 0};
  auto appendNode = [&](bool lastLevel) {
    payload.insert(payload.end(), {0, 1, 0, 0, 0, 0, 0, 1, 0, 0});  // count 1, then an empty node
    if (lastLevel) payload.insert(payload.end(), {0, 0});
  };
  for (int level = 1; level <= 5; ++level) appendNode(level == 5);
  WireDecoder decoder;
  decoder.append(WireCodec::frame(payload));
  try {
    decoder.nextMessage();
    FAIL() << "a fifth level was accepted";
  } catch (const WireError& e) {
    EXPECT_EQ(e, WireError::invalidValue("menu tree too large"));
  }
}

TEST(MenuTree, ReaderRefusesACountAboveTheBudget) {
  Bytes body;
  WireCodec::writeU16(11, body);
  for (int i = 0; i < 11; ++i) body.insert(body.end(), {0, 0, 0, 0, 0, 1, 0, 0, 0, 0});
  int budget = 10;
  WireReader reader(body);
  try {
    reader.readMenuNodes(1, budget);
    FAIL() << "accepted 11 nodes on a budget of 10";
  } catch (const WireError& e) {
    EXPECT_EQ(e, WireError::invalidValue("menu tree too large"));
  }
  budget = 11;
  WireReader again(body);
  EXPECT_EQ(again.readMenuNodes(1, budget).size(), 11u);
  EXPECT_EQ(budget, 0);
}

// With more nodes than the budget, what is written must still decode: the writer cuts the
// tree so that no list of it exceeds what is left of the budget.
TEST(MenuTree, LargeMenusAreCutToWhatTheReaderAccepts) {
  struct Shape {
    const char* what;
    std::vector<MenuNode> menus;
  };
  std::vector<MenuNode> wideTop;
  for (int i = 0; i < 5000; ++i) wideTop.push_back(node(std::to_string(i)));
  std::vector<MenuNode> hugeList;
  for (int i = 0; i < 70000; ++i) hugeList.push_back(node(std::to_string(i)));
  const std::vector<Shape> shapes = {
      {"a few menus with many items", menuBar(10, 400, 2)},
      {"one menu with many submenus", menuBar(1, 2000, 3)},
      {"many menus with deep items", menuBar(40, 30, 5)},
      {"5000 top-level items", wideTop},
      {"one submenu of 70000 items", {node("Big", hugeList)}},
      {"3001 nodes",
       [] {
         auto bar = menuBar(3, 333, 2);
         bar.push_back(node("one more"));
         return bar;
       }()},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.what);
    ASSERT_GT(countNodes(shape.menus), 3000u);
    std::vector<MenuNode> sent;
    ASSERT_NO_THROW(sent = sendMenus(shape.menus));
    EXPECT_LE(countNodes(sent), 3000u);
    EXPECT_GT(countNodes(sent), 2000u) << "the cut keeps most of the budget";
    EXPECT_TRUE(isCutOf(sent, shape.menus));
    EXPECT_LE(deepestLevel(sent), 4u);
  }
  // The menu bar's own items come first: all 10 menus survive the cut.
  EXPECT_EQ(sendMenus(menuBar(10, 400, 2)).size(), 10u);
}

TEST(MenuTree, RandomTreesAlwaysDecode) {
  std::mt19937 random(20261210);
  std::function<std::vector<MenuNode>(int, int&)> grow = [&](int depth, int& left) {
    std::vector<MenuNode> nodes;
    const int n = depth > 6 ? 0 : static_cast<int>(random() % (depth == 1 ? 40 : 25));
    for (int i = 0; i < n && left > 0; ++i) {
      --left;
      nodes.push_back(node("n", random() % 3 == 0 ? grow(depth + 1, left) : std::vector<MenuNode>{}));
    }
    return nodes;
  };
  for (int round = 0; round < 40; ++round) {
    int left = 1500 + static_cast<int>(random() % 5000);
    const std::vector<MenuNode> tree = grow(1, left);
    std::vector<MenuNode> sent;
    ASSERT_NO_THROW(sent = sendMenus(tree)) << "round " << round;
    EXPECT_LE(countNodes(sent), 3000u);
    EXPECT_TRUE(isCutOf(sent, tree));
    int budget = MenuNode::maxNodes;
    Bytes out;
    WireCodec::writeMenuNodes(tree, 1, budget, out);
    EXPECT_GE(budget, 0);
  }
}

}  // namespace
}  // namespace brindlet

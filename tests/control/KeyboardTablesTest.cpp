#include <gtest/gtest.h>

#include "host/control/HIDKeyTable.h"
#include "host/control/LayoutReverseMap.h"

namespace brindlet::host {
namespace {

using platform::KeyboardLayoutData;
namespace state = platform::modifier_key_state;

TEST(HIDKeyTable, MapsEveryKeyboardUsageOfTheMacKeyboard) {
  EXPECT_EQ(hidUsageToKeyCode().size(), 110u);
  EXPECT_EQ(hidModifierUsages().size(), 10u);
  const std::pair<std::uint16_t, std::uint16_t> samples[] = {
      {0x04, 0},   {0x1D, 6},   {0x1E, 18},  {0x27, 29},  {0x28, 36}, {0x2C, 49},   {0x35, 50}, {0x39, 57},
      {0x3A, 122}, {0x45, 111}, {0x4C, 117}, {0x52, 126}, {0x53, 71}, {0x59, 83},   {0x62, 82}, {0x64, 10},
      {0x67, 81},  {0x68, 105}, {0x6F, 90},  {0xE0, 59},  {0xE7, 54}, {0xFF03, 63},
  };
  for (auto [usage, keyCode] : samples) EXPECT_EQ(virtualKeyCode(HIDUsage{usage}), keyCode) << std::hex << usage;
  for (std::uint16_t usage : {0x00, 0x32, 0x46, 0x47, 0x48, 0x49, 0x65, 0x66, 0x70, 0xE8, 0xFF02}) {
    EXPECT_EQ(virtualKeyCode(HIDUsage{usage}), std::nullopt) << std::hex << usage;
  }
  for (std::uint16_t usage : {0xE0, 0xE3, 0xE4, 0xE7, 0xFF03, 0x39}) EXPECT_TRUE(isModifierUsage(HIDUsage{usage}));
  for (std::uint16_t usage : {0x04, 0x28, 0x2A, 0x53}) EXPECT_FALSE(isModifierUsage(HIDUsage{usage}));
}

// A layout in the shape the platform reports it: text per virtual key and state.
KeyboardLayoutData layout(std::initializer_list<std::tuple<std::uint16_t, int, const char*>> entries) {
  KeyboardLayoutData::Table table;
  for (auto [keyCode, stateIndex, text] : entries) table[keyCode][stateIndex] = text;
  return KeyboardLayoutData(std::move(table));
}

TEST(LayoutReverseMap, FirstStateAndLowestKeyWinControlCharactersAndDeadKeysAreSkipped) {
  const auto map = buildLayoutReverseMap(layout({
      {0, 0, "a"},
      {0, 1, "A"},
      {0, 2, "a"},
      {0, 3, "\xc3\x85"},  // option repeats a: a stays unshifted
      {18, 0, "1"},
      {83, 0, "1"},  // keypad 1 comes after the digit row
      {49, 0, " "},
      {36, 0, "\r"},
      {48, 0, "\t"},
      {51, 0, "\x7f"},  // control characters
      {24, 0, ""},      // a dead key gives nothing
      {12, 2, "@"},
      {14, 2, "\xe2\x82\xac"},
      {7, 0, "ab"},  // two characters
  }));
  EXPECT_EQ(map.at("a"), (LayoutKeystroke{0, false, false}));
  EXPECT_EQ(map.at("A"), (LayoutKeystroke{0, true, false}));
  EXPECT_EQ(map.at("\xc3\x85"), (LayoutKeystroke{0, true, true}));
  EXPECT_EQ(map.at("1"), (LayoutKeystroke{18, false, false}));
  EXPECT_EQ(map.at("@"), (LayoutKeystroke{12, false, true}));
  EXPECT_EQ(map.at("\xe2\x82\xac"), (LayoutKeystroke{14, false, true}));
  // Space from the layout; tab and newline, which it yields only as control characters, fixed.
  EXPECT_EQ(map.at(" "), (LayoutKeystroke{49, false, false}));
  EXPECT_EQ(map.at("\t"), (LayoutKeystroke{48, false, false}));
  EXPECT_EQ(map.at("\n"), (LayoutKeystroke{36, false, false}));
  EXPECT_FALSE(map.contains("\r"));
  EXPECT_FALSE(map.contains("\x7f"));
  EXPECT_FALSE(map.contains("ab"));
  EXPECT_EQ(map.size(), 9u);
}

TEST(LayoutReverseMap, SpaceWithoutAKeyStillHasOne) {
  const auto map = buildLayoutReverseMap(layout({{0, 0, "a"}}));
  EXPECT_EQ(map.at(" "), (LayoutKeystroke{49, false, false}));
}

TEST(LayoutReverseMapCache, BuildsAgainOnlyWhenTheInputSourceChanges) {
  LayoutReverseMapCache cache;
  auto us = std::make_shared<const KeyboardLayoutData>(layout({{16, 0, "y"}}));
  auto de = std::make_shared<const KeyboardLayoutData>(layout({{16, 0, "z"}}));
  auto first = cache.map({"us", us});
  EXPECT_EQ(cache.map({"us", us}), first);
  auto german = cache.map({"de", de});
  EXPECT_NE(german, first);
  EXPECT_EQ(german->at("z").keyCode, 16);
  EXPECT_FALSE(german->contains("y"));
  EXPECT_EQ(cache.map({"us", us})->at("y").keyCode, 16);
}

std::vector<std::size_t> sizes(const std::vector<std::u16string>& pieces) {
  std::vector<std::size_t> out;
  for (const auto& p : pieces) out.push_back(p.size());
  return out;
}

TEST(SplitUTF16Chunks, PiecesHoldWholeCharactersUpToTheLimit) {
  EXPECT_TRUE(splitUTF16Chunks("", 20).empty());
  EXPECT_EQ(sizes(splitUTF16Chunks("\xf0\x9f\x98\x80", 20)), (std::vector<std::size_t>{2}));
  EXPECT_EQ(sizes(splitUTF16Chunks(std::string(45, 'x'), 20)), (std::vector<std::size_t>{20, 20, 5}));
  // 19 letters and an emoji: the emoji does not fit beside them and starts the next piece.
  EXPECT_EQ(sizes(splitUTF16Chunks(std::string(19, 'x') + "\xf0\x9f\x98\x80", 20)), (std::vector<std::size_t>{19, 2}));
  // e + combining acute stays together.
  EXPECT_EQ(sizes(splitUTF16Chunks("abce\xcc\x81", 4)), (std::vector<std::size_t>{3, 2}));
  // A family emoji (man ZWJ woman ZWJ girl, 8 units) is longer than 4: split between scalars.
  const std::string family = "\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7";
  const auto pieces = splitUTF16Chunks("a" + family + "b", 4);
  EXPECT_EQ(sizes(pieces), (std::vector<std::size_t>{1, 3, 3, 3}));
  std::u16string joined;
  for (const auto& p : pieces) joined += p;
  EXPECT_EQ(utf8(joined), "a" + family + "b");
}

}  // namespace
}  // namespace brindlet::host

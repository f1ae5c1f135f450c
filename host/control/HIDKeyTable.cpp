#include "host/control/HIDKeyTable.h"

#include <utility>

namespace brindlet::host {

const std::unordered_set<HIDUsage>& hidModifierUsages() {
  static const std::unordered_set<HIDUsage> usages{
      HIDUsage{0xE0}, HIDUsage{0xE1}, HIDUsage{0xE2}, HIDUsage{0xE3},   HIDUsage{0xE4},
      HIDUsage{0xE5}, HIDUsage{0xE6}, HIDUsage{0xE7}, HIDUsage{0xFF03}, HIDUsage{0x39},
  };
  return usages;
}

const std::unordered_map<HIDUsage, std::uint16_t>& hidUsageToKeyCode() {
  static const std::unordered_map<HIDUsage, std::uint16_t> table = [] {
    const std::pair<std::uint16_t, std::uint16_t> entries[] = {
        // letters a-z
        {0x04, 0},
        {0x05, 11},
        {0x06, 8},
        {0x07, 2},
        {0x08, 14},
        {0x09, 3},
        {0x0A, 5},
        {0x0B, 4},
        {0x0C, 34},
        {0x0D, 38},
        {0x0E, 40},
        {0x0F, 37},
        {0x10, 46},
        {0x11, 45},
        {0x12, 31},
        {0x13, 35},
        {0x14, 12},
        {0x15, 15},
        {0x16, 1},
        {0x17, 17},
        {0x18, 32},
        {0x19, 9},
        {0x1A, 13},
        {0x1B, 7},
        {0x1C, 16},
        {0x1D, 6},
        // digits 1-9, 0
        {0x1E, 18},
        {0x1F, 19},
        {0x20, 20},
        {0x21, 21},
        {0x22, 23},
        {0x23, 22},
        {0x24, 26},
        {0x25, 28},
        {0x26, 25},
        {0x27, 29},
        // return, escape, backspace, tab, space, punctuation, caps lock
        {0x28, 36},
        {0x29, 53},
        {0x2A, 51},
        {0x2B, 48},
        {0x2C, 49},
        {0x2D, 27},
        {0x2E, 24},
        {0x2F, 33},
        {0x30, 30},
        {0x31, 42},
        {0x33, 41},
        {0x34, 39},
        {0x35, 50},
        {0x36, 43},
        {0x37, 47},
        {0x38, 44},
        {0x39, 57},
        // F1-F12
        {0x3A, 122},
        {0x3B, 120},
        {0x3C, 99},
        {0x3D, 118},
        {0x3E, 96},
        {0x3F, 97},
        {0x40, 98},
        {0x41, 100},
        {0x42, 101},
        {0x43, 109},
        {0x44, 103},
        {0x45, 111},
        // home, page up, forward delete, end, page down, arrows
        {0x4A, 115},
        {0x4B, 116},
        {0x4C, 117},
        {0x4D, 119},
        {0x4E, 121},
        {0x4F, 124},
        {0x50, 123},
        {0x51, 125},
        {0x52, 126},
        // keypad clear / * - + enter, 1-9 0 . ; the ISO section key; keypad =
        {0x53, 71},
        {0x54, 75},
        {0x55, 67},
        {0x56, 78},
        {0x57, 69},
        {0x58, 76},
        {0x59, 83},
        {0x5A, 84},
        {0x5B, 85},
        {0x5C, 86},
        {0x5D, 87},
        {0x5E, 88},
        {0x5F, 89},
        {0x60, 91},
        {0x61, 92},
        {0x62, 82},
        {0x63, 65},
        {0x64, 10},
        {0x67, 81},
        // F13-F20
        {0x68, 105},
        {0x69, 107},
        {0x6A, 113},
        {0x6B, 106},
        {0x6C, 64},
        {0x6D, 79},
        {0x6E, 80},
        {0x6F, 90},
        // modifiers, Fn
        {0xE0, 59},
        {0xE1, 56},
        {0xE2, 58},
        {0xE3, 55},
        {0xE4, 62},
        {0xE5, 60},
        {0xE6, 61},
        {0xE7, 54},
        {0xFF03, 63},
    };
    std::unordered_map<HIDUsage, std::uint16_t> map;
    for (auto [usage, keyCode] : entries) map.emplace(HIDUsage{usage}, keyCode);
    return map;
  }();
  return table;
}

bool isModifierUsage(HIDUsage usage) { return hidModifierUsages().contains(usage); }

std::optional<std::uint16_t> virtualKeyCode(HIDUsage usage) {
  const auto& table = hidUsageToKeyCode();
  auto it = table.find(usage);
  if (it == table.end()) return std::nullopt;
  return it->second;
}

}  // namespace brindlet::host

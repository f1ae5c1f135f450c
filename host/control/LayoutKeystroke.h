#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace brindlet::host {

// One key press that types a character on the current layout.
struct LayoutKeystroke {
  std::uint16_t keyCode = 0;  // virtual key code
  bool shift = false;
  bool option = false;

  bool operator==(const LayoutKeystroke&) const = default;
};

// A character (one grapheme cluster, UTF-8) to the key that types it.
using LayoutReverseMap = std::unordered_map<std::string, LayoutKeystroke>;

}  // namespace brindlet::host

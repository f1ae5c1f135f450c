#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/control/LayoutKeystroke.h"
#include "platform/input/KeyboardLayoutSource.h"

namespace brindlet::host {

// The reverse map of one layout: for the states none, shift, option, shift+option and the
// virtual keys 0-127 in that order, each character a key types alone (not a control
// character) maps to the first key and state that types it; space, newline and tab are
// added when the layout lacks them.
LayoutReverseMap buildLayoutReverseMap(const platform::KeyboardLayoutData& layout);

// Reverse maps by input source: a new map only when the source changed. Thread-safe.
class LayoutReverseMapCache {
 public:
  std::shared_ptr<const LayoutReverseMap> map(const platform::CurrentKeyboardLayout& layout);

 private:
  std::mutex mutex_;
  std::optional<std::string> inputSourceID_;
  std::shared_ptr<const LayoutReverseMap> map_;
};

// The keyboard layout in effect and its reverse map, through the one X connection the
// layout source opens when this is made. The host makes one and shares it; thread-safe.
class KeyboardLayouts {
 public:
  // The reverse map of the current layout, a new one only when the layout changed; nothing
  // when there is no layout.
  std::shared_ptr<const LayoutReverseMap> reverseMap();
  // The key that types `character` on the current layout (the environment's key-layout
  // lookup for menu shortcuts).
  std::optional<LayoutKeystroke> keystroke(const std::string& character);

 private:
  platform::KeyboardLayoutSource source_;
  LayoutReverseMapCache cache_;
};

// True while secure event input is on or the screen is locked: text is then typed key by key.
bool isKeyboardInputBlocked();

// The text's characters (grapheme clusters), in order, as UTF-16.
std::vector<std::u16string> graphemeClusters(std::u16string_view text);
std::u16string utf16(std::string_view utf8);
std::string utf8(std::u16string_view utf16);

// The text in pieces of at most `limit` UTF-16 units (limit at least 2), never splitting a
// character unless it alone is longer than the limit (then between its scalars).
std::vector<std::u16string> splitUTF16Chunks(std::string_view text, std::size_t limit);

}  // namespace brindlet::host

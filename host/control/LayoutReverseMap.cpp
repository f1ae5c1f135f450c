#include "host/control/LayoutReverseMap.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

namespace brindlet::host {
namespace {

using platform::modifier_key_state::none;
using platform::modifier_key_state::option;
using platform::modifier_key_state::shift;
using platform::modifier_key_state::shiftOption;

// The first scalar of UTF-8 text (text from a layout is well formed).
char32_t firstScalar(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  if (s[0] < 0x80) return s[0];
  if (s[0] < 0xE0) return ((s[0] & 0x1F) << 6) | (s[1] & 0x3F);
  if (s[0] < 0xF0) return ((s[0] & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F);
  return ((s[0] & 0x07) << 18) | ((s[1] & 0x3F) << 12) | ((s[2] & 0x3F) << 6) | (s[3] & 0x3F);
}

}  // namespace

std::u16string utf16(std::string_view text) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  return std::u16string(u.getBuffer(), u.getBuffer() + u.length());
}

std::string utf8(std::u16string_view text) {
  std::string out;
  icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size())).toUTF8String(out);
  return out;
}

std::vector<std::u16string> graphemeClusters(std::u16string_view text) {
  std::vector<std::u16string> clusters;
  if (text.empty()) return clusters;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  const icu::UnicodeString u(false, text.data(), static_cast<int32_t>(text.size()));
  if (U_FAILURE(status) || !it) {
    for (char16_t c : text) clusters.emplace_back(1, c);
    return clusters;
  }
  it->setText(u);
  int32_t start = it->first();
  for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
    clusters.emplace_back(text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
  }
  return clusters;
}

LayoutReverseMap buildLayoutReverseMap(const platform::KeyboardLayoutData& layout) {
  LayoutReverseMap map;
  for (uint32_t state : {none, shift, option, shiftOption}) {
    for (uint16_t keyCode = 0; keyCode < 128; ++keyCode) {
      const std::string& output = layout.translate(keyCode, state);
      if (output.empty()) continue;  // no key, or a dead key
      if (graphemeClusters(utf16(output)).size() != 1) continue;
      if (map.contains(output)) continue;  // the first state and lowest key win
      const char32_t scalar = firstScalar(output);
      if (scalar <= 0x1F || scalar == 0x7F) continue;
      map.emplace(output, LayoutKeystroke{keyCode, state == shift || state == shiftOption,
                                          state == option || state == shiftOption});
    }
  }
  map.try_emplace(" ", LayoutKeystroke{49, false, false});
  map.try_emplace("\n", LayoutKeystroke{36, false, false});
  map.try_emplace("\t", LayoutKeystroke{48, false, false});
  return map;
}

std::shared_ptr<const LayoutReverseMap> LayoutReverseMapCache::map(const platform::CurrentKeyboardLayout& layout) {
  std::lock_guard lock(mutex_);
  if (inputSourceID_ == layout.inputSourceID && map_) return map_;
  map_ = std::make_shared<const LayoutReverseMap>(buildLayoutReverseMap(*layout.data));
  inputSourceID_ = layout.inputSourceID;
  return map_;
}

std::shared_ptr<const LayoutReverseMap> KeyboardLayouts::reverseMap() {
  auto layout = source_.current();
  if (!layout || !layout->data) return nullptr;
  return cache_.map(*layout);
}

std::optional<LayoutKeystroke> KeyboardLayouts::keystroke(const std::string& character) {
  auto map = reverseMap();
  if (!map) return std::nullopt;
  auto it = map->find(character);
  if (it == map->end()) return std::nullopt;
  return it->second;
}

bool isKeyboardInputBlocked() {
  if (platform::isSecureEventInputEnabled()) return true;
  return platform::sessionScreenIsLocked().value_or(false);
}

std::vector<std::u16string> splitUTF16Chunks(std::string_view text, std::size_t limit) {
  std::vector<std::u16string> pieces;
  std::u16string piece;
  auto close = [&] {
    if (!piece.empty()) pieces.push_back(std::move(piece));
    piece.clear();
  };
  for (const std::u16string& character : graphemeClusters(utf16(text))) {
    if (character.size() <= limit) {
      if (!piece.empty() && piece.size() + character.size() > limit) close();
      piece += character;
      continue;
    }
    // A character longer than the limit goes scalar by scalar.
    close();
    for (size_t i = 0; i < character.size();) {
      const bool pair = i + 1 < character.size() && character[i] >= 0xD800 && character[i] <= 0xDBFF;
      const size_t units = pair ? 2 : 1;
      if (piece.size() + units > limit) close();
      piece.append(character, i, units);
      i += units;
    }
  }
  close();
  return pieces;
}

}  // namespace brindlet::host

#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/input/EventPosting.h"

namespace brindlet::host::test {

// Records what the injector posts; the pointer follows posted mouse events, as on a screen.
class RecordingPoster final : public platform::EventPosting {
 public:
  bool postKeyboard(const platform::KeyboardEvent& event) override {
    if (accept) keys.push_back(event);
    return accept;
  }
  bool postUnicodeString(std::u16string_view units, bool isDown) override {
    if (accept) unicode.emplace_back(std::u16string(units), isDown);
    return accept;
  }
  bool postMouse(const platform::MouseEvent& event) override {
    if (!accept) return false;
    mice.push_back(event);
    if (followsMoves) pointer = event.location;
    return true;
  }
  bool postScroll(const platform::ScrollWheelEvent& event) override {
    if (accept) scrolls.push_back(event);
    return accept;
  }
  std::optional<platform::GlobalPoint> pointerLocation() override { return pointer; }
  std::vector<platform::GlobalRect> activeDisplayBounds() override { return bounds; }

  bool accept = true;
  bool followsMoves = true;
  std::optional<platform::GlobalPoint> pointer;
  std::vector<platform::GlobalRect> bounds{{0, 0, 1920, 1080}, {1920, 0, 1920, 1080}};

  std::vector<platform::KeyboardEvent> keys;
  std::vector<std::pair<std::u16string, bool>> unicode;
  std::vector<platform::MouseEvent> mice;
  std::vector<platform::ScrollWheelEvent> scrolls;
};

}  // namespace brindlet::host::test

#pragma once

#include <functional>
#include <optional>
#include <string>

#include "base/Geometry.h"
#include "kit/protocol/DesktopRecords.h"

namespace brindlet::host {

// What has the keyboard focus on this computer. Two are equal when they agree on whether it
// is text, the app and the kind: a field that moves is the same focus.
struct TextFocus {
  bool isText = false;
  std::string bundleID;
  TextFocusKind kind = TextFocusKind::none;
  std::optional<Rect> frame;  // global points

  bool operator==(const TextFocus& other) const {
    return isText == other.isText && bundleID == other.bundleID && kind == other.kind;
  }
};

class TextFocusSource {
 public:
  using Handler = std::function<void(const TextFocus&)>;
  using Stop = std::function<void()>;

  virtual ~TextFocusSource() = default;

  // Starts observing the focused element, calling `handler` with each focus; returns the
  // operation that stops the observation.
  virtual Stop start(Handler handler) = 0;
};

}  // namespace brindlet::host

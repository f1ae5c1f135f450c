#pragma once

#include <functional>
#include <optional>
#include <string>

#include "kit/protocol/DesktopRecords.h"
#include "base/Geometry.h"

namespace brindlet::host {

// What has the keyboard focus on this computer.
struct TextFocus {
  bool isText = false;
  std::string bundleID;
  TextFocusKind kind = TextFocusKind::none;
  std::optional<Rect> frame;  // global points

  bool operator==(const TextFocus&) const = default;
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

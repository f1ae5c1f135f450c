#pragma once
// What a video stream shows on its display: the whole display, a rectangle of it, or only
// one app's windows through a rectangle of it. Rectangles are display-local points with the
// origin at the display's top-left corner.
#include <cstdint>
#include <variant>

#include "base/Geometry.h"

namespace brindlet::host {

struct CaptureScope {
  struct App {
    int32_t pid = 0;
    Rect base;
    bool operator==(const App&) const = default;
  };
  struct Region {
    Rect base;
    bool operator==(const Region&) const = default;
  };
  struct Display {
    bool operator==(const Display&) const = default;
  };

  std::variant<App, Region, Display> value = Display{};

  static CaptureScope app(int32_t pid, Rect base) { return {App{pid, base}}; }
  static CaptureScope region(Rect base) { return {Region{base}}; }
  static CaptureScope display() { return {Display{}}; }

  const App* asApp() const { return std::get_if<App>(&value); }
  const Region* asRegion() const { return std::get_if<Region>(&value); }
  bool isDisplay() const { return std::holds_alternative<Display>(value); }
  // The base rectangle of an app or region scope.
  const Rect* base() const {
    if (auto* a = asApp()) return &a->base;
    if (auto* r = asRegion()) return &r->base;
    return nullptr;
  }

  // Same case and, for apps, the same process; rectangles do not count.
  bool sameKind(const CaptureScope& other) const {
    if (value.index() != other.value.index()) return false;
    if (auto* a = asApp()) return a->pid == other.asApp()->pid;
    return true;
  }

  bool operator==(const CaptureScope&) const = default;
};

}  // namespace brindlet::host

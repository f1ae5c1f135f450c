#pragma once

#include <cstdint>
#include <string>

#include "base/Geometry.h"

namespace brindlet::host {

// One window of an app as the window controller finds it again: by ID, else by title and frame.
struct AppWindowRef {
  std::uint32_t id = 0;
  std::string title;
  Rect frame;  // global points, origin at the top left of the main display

  bool operator==(const AppWindowRef&) const = default;
};

}  // namespace brindlet::host

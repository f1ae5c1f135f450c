#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Geometry.h"
#include "host/control/WindowEvents.h"
#include "kit/protocol/MediaRecords.h"
#include "kit/support/AsyncStream.h"

namespace brindlet::host {

enum class WindowKind { standard, transient };

// A window seen on screen while following the user's focus.
struct ObservedWindow {
  std::int32_t pid = 0;
  std::optional<std::uint32_t> windowID;
  std::string title;
  std::string appName;
  Rect frame;  // global points
  WindowKind kind = WindowKind::standard;

  bool operator==(const ObservedWindow&) const = default;
};

// The focused window of the frontmost app, and other apps' windows over the followed one.
struct FocusObservation {
  std::optional<ObservedWindow> focused;
  std::vector<ObservedWindow> overlays;  // front to back

  bool operator==(const FocusObservation&) const = default;
};

class FocusObserving {
 public:
  // The window being followed.
  struct Followed {
    std::int32_t pid = 0;
    std::uint32_t windowID = 0;
    Rect frame;
  };

  virtual ~FocusObserving() = default;

  // Never fails: what cannot be read is left out.
  virtual FocusObservation observe(const Followed& following, const std::vector<DisplayInfo>& displays) = 0;
  // The window notices as the system gives them (the focused window or the window list
  // changed), for observing again at once; the reader finishes the stream when it is done.
  virtual AsyncStream<WindowEvent> changes() = 0;
};

}  // namespace brindlet::host

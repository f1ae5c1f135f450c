#pragma once
// What can be captured right now: the displays, the applications that have windows, and
// their windows. Windows are the window manager's clients (_NET_CLIENT_LIST) and an
// application is the set of windows with one process ID (_NET_WM_PID).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/screen/DisplayConfiguration.h"

namespace brindlet::platform {

struct ScreenRect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const ScreenRect&) const = default;
};

struct ShareableWindow {
  uint32_t windowID = 0;  // the client window
  uint32_t frameID = 0;   // its top-level window (the manager's frame, or itself)
  int32_t pid = 0;        // 0 when the client does not say
  std::string title;
  ScreenRect frame;  // global points, as the display frames
  bool isOnScreen = false;
};

struct ShareableApplication {
  int32_t processID = 0;
  std::string bundleIdentifier;  // the window class's instance name
  std::string applicationName;   // the window class's class name
};

struct ShareableContent {
  std::vector<ScreenDisplay> displays;
  std::vector<ShareableApplication> applications;
  std::vector<ShareableWindow> windows;  // bottom to top

  // Reads the content over a connection of its own; throws ScreenError when the server
  // cannot be reached.
  static ShareableContent current(bool onScreenWindowsOnly = true, const std::string& displayName = {});
};

// The client windows over an open connection, bottom to top, with root-relative frames
// (not yet moved to the global desktop space).
std::vector<ShareableWindow> listClientWindows(XConnection& connection, bool onScreenWindowsOnly);

}  // namespace brindlet::platform

#pragma once
// The records in which the host describes running apps and their windows, and the pure
// functions that turn raw process and window facts into the app list sent to the device.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kit/protocol/DesktopRecords.h"
#include "base/Geometry.h"
#include "kit/protocol/MediaRecords.h"

namespace brindlet::host {

struct RunningAppRecord {
  int32_t pid = 0;
  std::string bundleID;
  std::string name;
  bool isRegular = false;
  bool isFrontmost = false;
  bool isHidden = false;
  std::string bundlePath;
  std::string executablePath;

  bool operator==(const RunningAppRecord&) const = default;
};

struct WindowRecord {
  uint32_t id = 0;
  int32_t pid = 0;
  std::string title;
  Rect frame;  // global points, origin top-left of the main display
  int layer = 0;
  bool isOnScreen = false;
  bool isMinimized = false;
  std::string ownerName;

  bool operator==(const WindowRecord&) const = default;
};

// A window counts as an app window only on layer 0 and at least this large (inclusive).
inline constexpr double minimumAppWindowWidth = 100;
inline constexpr double minimumAppWindowHeight = 60;

// Fills in unknown process IDs (0 or negative) from the executable paths of all processes.
std::vector<RunningAppRecord> resolvePIDsByBundlePath(const std::vector<RunningAppRecord>& apps,
                                                      const std::map<int32_t, std::string>& processPaths);

// The windows that belong in an app's window list, with on-screen and minimised flags decided.
std::vector<WindowRecord> filterAppWindows(const std::vector<WindowRecord>& windows,
                                           const std::set<int32_t>& hiddenPIDs,
                                           const std::map<int32_t, std::set<uint32_t>>& minimizedByPID);

// The sorted app list of `appList`.
std::vector<AppInfo> groupWindowsByApp(const std::vector<RunningAppRecord>& apps,
                                       const std::vector<WindowRecord>& windows,
                                       const std::vector<DisplayInfo>& displays,
                                       const std::function<Bytes(const RunningAppRecord&)>& icon);

// The display a global rectangle belongs to: largest overlap, else nearest to its centre.
std::optional<DisplayInfo> displayForRect(const Rect& rect, const std::vector<DisplayInfo>& displays);

// A global rectangle moved into the display's coordinates, grown by `margin` and clipped to it;
// the whole display when nothing of at least 1 x 1 point remains.
Rect displayLocalRect(const Rect& rect, const DisplayInfo& display, double margin);

// Where a window of `size` goes so that it stays inside `bounds` (top-left wins when too big).
Rect clampedFrame(const Rect& frame, double width, double height, const Rect& bounds);

// A display-local rectangle as fractions of the display.
NormalizedRect normalizedRect(const Rect& rect, const DisplayInfo& display);

}  // namespace brindlet::host

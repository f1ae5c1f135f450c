#pragma once
// The decisions of following the user's focus while one window is streamed: what kind a
// window is, what to follow from one observation, when a new target has been steady long
// enough to win, the windows the device can go back to, and the region that shows a popup
// with its window. Nothing here touches the system; the observations come from a
// FocusObserving.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/Geometry.h"
#include "host/control/FocusObserving.h"
#include "kit/protocol/MediaRecords.h"

namespace brindlet::host {

// Owners whose windows are authentication and system prompts.
bool isSecureOwnerName(std::string_view name);
// Window roles that are dialogs, sheets and floating panels.
bool isTransientSubrole(std::string_view subrole);
// Owners whose windows are never shown as popups: the desktop's own and this host's.
bool isIgnoredWindowOwner(std::string_view name);

// A window of the followed app that lies on the followed window (within 8 points of its
// frame) is part of it, as a sheet is.
bool liesOnFollowedWindow(const Rect& window, const Rect& followed);

// A window is standard only when its role is "AXStandardWindow", its size can be set and its
// owner is not a secure prompt; everything else is transient. Unknown facts are absent.
WindowKind classifyWindow(const std::optional<std::string>& subrole, std::optional<bool> sizeSettable,
                          std::string_view ownerName);

// What one observation asks to follow.
struct FollowTarget {
  enum class Kind { window, popup, none };

  // Identity of a target. Popups without a window number are the same when their process is.
  struct Key {
    Kind kind = Kind::window;  // window or popup
    std::int32_t pid = 0;
    std::optional<std::uint32_t> windowID;  // always set for a window key
    bool operator==(const Key&) const = default;
  };

  Kind kind = Kind::none;
  ObservedWindow window;  // for window and popup

  static FollowTarget none() { return {}; }
  static FollowTarget makeWindow(ObservedWindow w) { return {Kind::window, std::move(w)}; }
  static FollowTarget makePopup(ObservedWindow w) { return {Kind::popup, std::move(w)}; }

  // The key of this target; none for `none`. A window without a number has number 0.
  std::optional<Key> key() const;

  // From one observation, for the followed window, this process's own ID and the displays.
  static FollowTarget choose(const FocusObservation& observation, const FocusObserving::Followed& following,
                             std::int32_t ownPID, const std::vector<DisplayInfo>& displays);

  bool operator==(const FollowTarget&) const = default;
};

// Lets a new target win only after it has been seen continuously for `delay` seconds; losing
// every target takes effect at once.
struct FocusDebouncer {
  struct Pending {
    FollowTarget::Key key;
    double since = 0;
  };

  double delay = 0.3;
  std::optional<FollowTarget::Key> committed;
  std::optional<Pending> pending;

  // The committed key after seeing `key` at `now` (seconds).
  std::optional<FollowTarget::Key> observe(const std::optional<FollowTarget::Key>& key, double now);
  // When the pending key would be committed, if it is seen again then.
  std::optional<double> pendingDeadline() const;
  void reset() {
    committed.reset();
    pending.reset();
  }
};

// A window the device can go back to.
struct BackEntry {
  std::int32_t pid = 0;
  std::uint32_t windowID = 0;
  std::string title;
  std::string appName;
  bool operator==(const BackEntry&) const = default;
};

// The most recent windows followed away from, newest last, at most `capacity`.
struct FocusBackStack {
  std::vector<BackEntry> entries;
  std::size_t capacity = 4;

  void push(BackEntry entry);
  void remove(std::uint32_t windowID);
  void clear() { entries.clear(); }
  bool empty() const { return entries.empty(); }
};

// The display and the display-local region that show `popup` with its window `window`: both
// together while they share a display and fit in 80 % of it, else the popup alone, each with
// 24 points around. No display: none.
std::optional<std::pair<DisplayInfo, Rect>> focusCaptureRegion(const Rect& window, const Rect& popup,
                                                               const std::vector<DisplayInfo>& displays);

}  // namespace brindlet::host

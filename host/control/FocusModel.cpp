#include "host/control/FocusModel.h"

#include <algorithm>
#include <array>

#include "host/capture/WindowCatalog.h"

namespace brindlet::host {

namespace {

constexpr std::array<std::string_view, 4> secureOwnerNames{"SecurityAgent", "coreautha", "LocalAuthenticationRemoteUI",
                                                           "UserNotificationCenter"};
constexpr std::array<std::string_view, 6> transientSubroles{
    "AXDialog", "AXSystemDialog", "AXFloatingWindow", "AXSystemFloatingWindow", "AXSheet", "AXPanel"};
constexpr std::array<std::string_view, 12> ignoredWindowOwners{
    "Window Server",       "WindowServer",       "Dock",        "SystemUIServer", "Control Center", "ControlCenter",
    "Notification Center", "NotificationCenter", "loginwindow", "Spotlight",      "BrindletHost",   "Nolu Host"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Both rectangles share area (touching edges do not count).
bool intersects(const Rect& a, const Rect& b) {
  return std::max(a.minX(), b.minX()) < std::min(a.maxX(), b.maxX()) &&
         std::max(a.minY(), b.minY()) < std::min(a.maxY(), b.maxY());
}

bool containsRect(const Rect& outer, const Rect& inner) {
  return outer.minX() <= inner.minX() && inner.maxX() <= outer.maxX() && outer.minY() <= inner.minY() &&
         inner.maxY() <= outer.maxY();
}

Rect grown(const Rect& r, double by) {
  return {r.minX() - by, r.minY() - by, r.maxX() - r.minX() + 2 * by, r.maxY() - r.minY() + 2 * by};
}

Rect unionOf(const Rect& a, const Rect& b) {
  double x0 = std::min(a.minX(), b.minX()), y0 = std::min(a.minY(), b.minY());
  return {x0, y0, std::max(a.maxX(), b.maxX()) - x0, std::max(a.maxY(), b.maxY()) - y0};
}

}  // namespace

bool liesOnFollowedWindow(const Rect& window, const Rect& followed) { return containsRect(grown(followed, 8), window); }

bool isSecureOwnerName(std::string_view name) { return contains(secureOwnerNames, name); }
bool isTransientSubrole(std::string_view subrole) { return contains(transientSubroles, subrole); }
bool isIgnoredWindowOwner(std::string_view name) { return contains(ignoredWindowOwners, name); }

WindowKind classifyWindow(const std::optional<std::string>& subrole, std::optional<bool> sizeSettable,
                          std::string_view ownerName) {
  if (isSecureOwnerName(ownerName)) return WindowKind::transient;
  if (!subrole) return WindowKind::transient;
  if (isTransientSubrole(*subrole)) return WindowKind::transient;
  if (*subrole != "AXStandardWindow") return WindowKind::transient;
  if (sizeSettable != true) return WindowKind::transient;
  return WindowKind::standard;
}

std::optional<FollowTarget::Key> FollowTarget::key() const {
  switch (kind) {
    case Kind::window:
      return Key{Kind::window, window.pid, window.windowID.value_or(0)};
    case Kind::popup:
      return Key{Kind::popup, window.pid, window.windowID};
    case Kind::none:
      break;
  }
  return std::nullopt;
}

FollowTarget FollowTarget::choose(const FocusObservation& observation, const FocusObserving::Followed& following,
                                  std::int32_t ownPID, const std::vector<DisplayInfo>& displays) {
  if (const auto& focused = observation.focused) {
    const bool isFollowed = focused->windowID && *focused->windowID == following.windowID;
    if (focused->pid != ownPID && focused->kind == WindowKind::transient && !isFollowed) {
      const Rect& f = focused->frame;
      const bool bigEnough = std::abs(f.width) >= 60 && std::abs(f.height) >= 40;
      // A sheet or panel of the followed app lying on the followed window is part of it.
      const bool partOfFollowed = focused->pid == following.pid && liesOnFollowedWindow(f, following.frame);
      const bool onADisplay = std::any_of(displays.begin(), displays.end(),
                                          [&](const DisplayInfo& d) { return intersects(d.frame.rect(), f); });
      if (bigEnough && !partOfFollowed && onADisplay) return makePopup(*focused);
    }
  }
  if (!observation.overlays.empty()) return makePopup(observation.overlays.front());
  if (const auto& focused = observation.focused) {
    if (focused->pid != ownPID && focused->kind == WindowKind::standard && focused->windowID &&
        *focused->windowID != following.windowID) {
      return makeWindow(*focused);
    }
  }
  return none();
}

std::optional<FollowTarget::Key> FocusDebouncer::observe(const std::optional<FollowTarget::Key>& key, double now) {
  if (!key) {
    committed.reset();
    pending.reset();
    return std::nullopt;
  }
  if (key == committed) {
    pending.reset();
    return committed;
  }
  if (!pending || !(pending->key == *key)) pending = Pending{*key, now};
  if (now - pending->since >= delay) {
    committed = *key;
    pending.reset();
  }
  return committed;
}

std::optional<double> FocusDebouncer::pendingDeadline() const {
  if (!pending) return std::nullopt;
  return pending->since + delay;
}

void FocusBackStack::push(BackEntry entry) {
  remove(entry.windowID);
  entries.push_back(std::move(entry));
  if (entries.size() > capacity) entries.erase(entries.begin(), entries.end() - static_cast<long>(capacity));
}

void FocusBackStack::remove(std::uint32_t windowID) {
  entries.erase(
      std::remove_if(entries.begin(), entries.end(), [&](const BackEntry& e) { return e.windowID == windowID; }),
      entries.end());
}

std::optional<std::pair<DisplayInfo, Rect>> focusCaptureRegion(const Rect& window, const Rect& popup,
                                                               const std::vector<DisplayInfo>& displays) {
  constexpr double margin = 24;
  auto display = displayForRect(popup, displays);
  if (!display) return std::nullopt;
  Rect region = displayLocalRect(popup, *display, margin);
  auto windowDisplay = displayForRect(window, displays);
  if (windowDisplay && windowDisplay->id == display->id) {
    Rect both = displayLocalRect(unionOf(window, popup), *display, margin);
    if (both.width * both.height <= 0.8 * display->frame.width * display->frame.height) region = both;
  }
  return std::make_pair(*display, region);
}

}  // namespace brindlet::host

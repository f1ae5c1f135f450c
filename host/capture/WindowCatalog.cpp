#include "host/capture/WindowCatalog.h"

#include <algorithm>
#include <limits>
#include <memory>

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace brindlet::host {
namespace {

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool isAppWindow(const WindowRecord& w) {
  return w.layer == 0 && std::abs(w.frame.width) >= minimumAppWindowWidth &&
         std::abs(w.frame.height) >= minimumAppWindowHeight;
}

// The intersection of two rectangles, or nothing when they do not meet.
std::optional<Rect> intersection(const Rect& a, const Rect& b) {
  double x0 = std::max(a.minX(), b.minX()), x1 = std::min(a.maxX(), b.maxX());
  double y0 = std::max(a.minY(), b.minY()), y1 = std::min(a.maxY(), b.maxY());
  if (x1 < x0 || y1 < y0) return std::nullopt;
  return Rect{x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

std::vector<RunningAppRecord> resolvePIDsByBundlePath(const std::vector<RunningAppRecord>& apps,
                                                      const std::map<int32_t, std::string>& processPaths) {
  std::set<int32_t> known;
  std::vector<std::string> bundlePaths;
  for (const auto& a : apps) {
    if (a.pid >= 1) known.insert(a.pid);
    if (!a.bundlePath.empty()) bundlePaths.push_back(a.bundlePath);
  }
  std::vector<RunningAppRecord> result = apps;
  for (auto& record : result) {
    if (record.pid > 0 || record.bundlePath.empty()) continue;
    std::string prefix = record.bundlePath;
    if (prefix.back() != '/') prefix += '/';
    std::vector<std::pair<int32_t, const std::string*>> candidates;
    for (const auto& [pid, path] : processPaths) {
      if (known.count(pid) || !startsWith(path, prefix)) continue;
      // A process inside a nested bundle belongs to the nested app.
      bool nested = std::any_of(bundlePaths.begin(), bundlePaths.end(), [&](const std::string& other) {
        return other.size() > record.bundlePath.size() && startsWith(path, other + "/");
      });
      if (!nested) candidates.emplace_back(pid, &path);
    }
    if (candidates.empty()) continue;
    auto exact = std::find_if(candidates.begin(), candidates.end(),
                              [&](const auto& c) { return *c.second == record.executablePath; });
    if (exact != candidates.end()) {
      record.pid = exact->first;
    } else {
      record.pid = std::min_element(candidates.begin(), candidates.end())->first;
    }
  }
  return result;
}

std::vector<WindowRecord> filterAppWindows(const std::vector<WindowRecord>& windows,
                                           const std::set<int32_t>& hiddenPIDs,
                                           const std::map<int32_t, std::set<uint32_t>>& minimizedByPID) {
  std::set<int32_t> onScreenPIDs;
  for (const auto& w : windows) {
    if (w.isOnScreen) onScreenPIDs.insert(w.pid);
  }
  std::vector<WindowRecord> kept;
  for (WindowRecord w : windows) {
    if (!isAppWindow(w)) continue;
    if (w.isOnScreen) {
      w.isMinimized = false;
    } else if (hiddenPIDs.count(w.pid)) {
      w.isMinimized = false;
    } else if (auto probe = minimizedByPID.find(w.pid); probe != minimizedByPID.end()) {
      if (!probe->second.count(w.id)) continue;
      w.isMinimized = true;
    } else {
      if (onScreenPIDs.count(w.pid)) continue;
      w.isMinimized = true;
    }
    w.layer = 0;
    kept.push_back(std::move(w));
  }
  return kept;
}

std::vector<AppInfo> groupWindowsByApp(const std::vector<RunningAppRecord>& apps,
                                       const std::vector<WindowRecord>& windows,
                                       const std::vector<DisplayInfo>& displays,
                                       const std::function<Bytes(const RunningAppRecord&)>& icon) {
  std::map<int32_t, std::vector<const WindowRecord*>> byPID;
  for (const auto& w : windows) {
    if (isAppWindow(w)) byPID[w.pid].push_back(&w);
  }
  auto info = [&](const WindowRecord& w) {
    WindowInfo i;
    i.id = w.id;
    i.title = w.title;
    i.frame = DisplayFrame{static_cast<float>(w.frame.minX()), static_cast<float>(w.frame.minY()),
                           static_cast<float>(std::abs(w.frame.width)), static_cast<float>(std::abs(w.frame.height))};
    auto d = displayForRect(w.frame, displays);
    i.displayID = d ? d->id : 0;
    i.isOnScreen = w.isOnScreen;
    i.isMinimized = w.isMinimized;
    return i;
  };
  std::vector<AppInfo> list;
  for (const auto& a : apps) {
    if (!a.isRegular) continue;
    AppInfo app;
    app.pid = a.pid;
    app.bundleID = a.bundleID;
    app.name = a.name;
    app.icon = icon ? icon(a) : Bytes{};
    app.isFrontmost = a.isFrontmost;
    if (auto found = byPID.find(a.pid); found != byPID.end()) {
      for (bool onScreen : {true, false}) {
        for (const WindowRecord* w : found->second) {
          if (w->isOnScreen == onScreen) app.windows.push_back(info(*w));
        }
      }
    }
    list.push_back(std::move(app));
  }
  bool anyWindows = std::any_of(list.begin(), list.end(), [](const AppInfo& a) { return !a.windows.empty(); });
  if (anyWindows) {
    list.erase(std::remove_if(list.begin(), list.end(), [](const AppInfo& a) { return a.windows.empty(); }),
               list.end());
  }
  // Frontmost first, then by name: localized and case-insensitive.
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale::getDefault(), status));
  if (collator) collator->setStrength(icu::Collator::SECONDARY);
  auto nameLess = [&](const AppInfo& a, const AppInfo& b) {
    if (!collator) return a.name < b.name;
    UErrorCode s = U_ZERO_ERROR;
    return collator->compare(icu::UnicodeString::fromUTF8(a.name), icu::UnicodeString::fromUTF8(b.name), s) ==
           UCOL_LESS;
  };
  std::stable_sort(list.begin(), list.end(), [&](const AppInfo& a, const AppInfo& b) {
    if (a.isFrontmost != b.isFrontmost) return a.isFrontmost;
    return nameLess(a, b);
  });
  return list;
}

std::optional<DisplayInfo> displayForRect(const Rect& rect, const std::vector<DisplayInfo>& displays) {
  if (displays.empty()) return std::nullopt;
  const DisplayInfo* best = nullptr;
  double bestOverlap = 0;
  for (const auto& d : displays) {
    auto overlap = intersection(d.frame.rect(), rect);
    double area = overlap ? overlap->width * overlap->height : 0;
    if (area > bestOverlap) {
      bestOverlap = area;
      best = &d;
    }
  }
  if (best) return *best;
  const Point centre{(rect.minX() + rect.maxX()) / 2, (rect.minY() + rect.maxY()) / 2};
  double bestDistance = std::numeric_limits<double>::infinity();
  for (const auto& d : displays) {
    Rect f = d.frame.rect();
    double dx = std::max({f.minX() - centre.x, 0.0, centre.x - f.maxX()});
    double dy = std::max({f.minY() - centre.y, 0.0, centre.y - f.maxY()});
    double distance = dx * dx + dy * dy;
    if (distance < bestDistance) {
      bestDistance = distance;
      best = &d;
    }
  }
  return *best;
}

Rect displayLocalRect(const Rect& rect, const DisplayInfo& display, double margin) {
  const Rect whole{0, 0, display.frame.width, display.frame.height};
  Rect moved{rect.minX() - display.frame.x - margin, rect.minY() - display.frame.y - margin,
             std::abs(rect.width) + 2 * margin, std::abs(rect.height) + 2 * margin};
  auto clipped = intersection(moved, whole);
  if (!clipped || clipped->width < 1 || clipped->height < 1) return whole;
  return *clipped;
}

Rect clampedFrame(const Rect& frame, double width, double height, const Rect& bounds) {
  double x = frame.minX();
  if (x + width > bounds.maxX()) x = bounds.maxX() - width;
  x = std::max(x, bounds.minX());
  double y = frame.minY();
  if (y + height > bounds.maxY()) y = bounds.maxY() - height;
  y = std::max(y, bounds.minY());
  return Rect{x, y, width, height};
}

NormalizedRect normalizedRect(const Rect& rect, const DisplayInfo& display) {
  double w = std::max<double>(display.frame.width, 1), h = std::max<double>(display.frame.height, 1);
  return NormalizedRect{static_cast<float>(rect.minX() / w), static_cast<float>(rect.minY() / h),
                        static_cast<float>(std::abs(rect.width) / w), static_cast<float>(std::abs(rect.height) / h)};
}

}  // namespace brindlet::host

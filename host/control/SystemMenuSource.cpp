#include "host/control/SystemMenuSource.h"

#include <functional>

#include "host/HostLog.h"
#include "host/control/FrontmostApps.h"
#include "host/control/MenuReading.h"
#include "platform/accessibility/Accessibility.h"

namespace brindlet::host {

namespace {

using platform::AccessibleElement;

// The walk's view of the accessibility tree.
struct AccessibilityMenus {
  platform::Accessibility& accessibility;

  std::vector<AccessibleElement> items(const AccessibleElement& element) { return accessibility.menuItems(element); }
  RawMenuItem attributes(const AccessibleElement& element) {
    platform::MenuItemAttributes read = accessibility.menuItemAttributes(element);
    return RawMenuItem{read.title, read.cmdChar, read.cmdModifiers, read.enabled, read.markChar, {}};
  }
};

double seconds(Clock::Duration d) { return std::chrono::duration<double>(d).count(); }

void logMenuReadDuration(std::int32_t pid, double started, const Clock& clock) {
  double milliseconds = (seconds(clock.uptimeNow()) - started) * 1000;
  if (milliseconds > 100) sessionLog().notice("menu read for pid %d took %ld ms", pid, long(milliseconds));
}

std::string joined(const std::vector<std::string>& path) {
  std::string label;
  for (const std::string& title : path) label += (label.empty() ? "" : "/") + title;
  return label;
}

}  // namespace

SystemMenuSource::SystemMenuSource(std::shared_ptr<platform::Accessibility> accessibility,
                                   std::shared_ptr<FrontmostApps> apps, std::shared_ptr<Clock> clock)
    : accessibility_(std::move(accessibility)), apps_(std::move(apps)), clock_(std::move(clock)) {}

std::optional<MenuSource::FrontmostApp> SystemMenuSource::frontmostApp() { return apps_->current(); }

AsyncStream<Change> SystemMenuSource::activations() { return apps_->activations(); }

asio::awaitable<std::optional<MenuTree>> SystemMenuSource::readMenus(std::int32_t pid) {
  std::function<std::optional<MenuTree>()> job = [accessibility = accessibility_.get(), clock = clock_, pid] {
    return readMenusNow(*accessibility, *clock, pid);
  };
  co_return co_await accessibility_->run(std::move(job));
}

asio::awaitable<MenuPressResult> SystemMenuSource::press(std::int32_t pid, std::vector<std::string> path) {
  std::function<MenuPressResult()> job = [accessibility = accessibility_.get(), pid, path = std::move(path)] {
    return pressNow(*accessibility, pid, path);
  };
  co_return co_await accessibility_->run(std::move(job));
}

std::optional<MenuTree> SystemMenuSource::readMenusNow(platform::Accessibility& accessibility, const Clock& clock,
                                                       std::int32_t pid) {
  const double started = seconds(clock.uptimeNow());
  AccessibleElement bar = accessibility.menuBar(accessibility.application(pid));
  if (!bar) {
    logMenuReadDuration(pid, started, clock);
    return std::nullopt;
  }
  const double deadline = started + seconds(menuReadDeadline);
  MenuReadBudget budget;
  budget.pastDeadline = [&clock, deadline] { return seconds(clock.uptimeNow()) > deadline; };
  AccessibilityMenus access{accessibility};
  std::vector<RawMenuItem> items = walkMenuElement(bar, 1, budget, access);
  MenuTree tree;
  if (budget.exhausted || budget.pastDeadline()) {
    sessionLog().notice("menu read for pid %d ran out of time", pid);
    tree.cut = true;
  }
  bool truncated = false;
  tree.menus = menuNodes(items, truncated);
  if (truncated) {
    sessionLog().notice("menu tree for pid %d truncated (depth %ld, %ld nodes)", pid, long(MenuNode::maxDepth),
                        long(MenuNode::maxNodes));
    tree.cut = true;
  }
  logMenuReadDuration(pid, started, clock);
  return tree;
}

MenuPressResult SystemMenuSource::pressNow(platform::Accessibility& accessibility, std::int32_t pid,
                                           const std::vector<std::string>& path) {
  if (path.size() < 2) return MenuPressResult::notFound;
  AccessibleElement bar = accessibility.menuBar(accessibility.application(pid));
  if (!bar) return MenuPressResult::failed;
  std::vector<AccessibleElement> level = accessibility.menuItems(bar);
  AccessibleElement element;
  for (std::size_t i = 0; i < path.size(); ++i) {
    element = AccessibleElement();
    for (const AccessibleElement& candidate : level) {
      if (accessibility.title(candidate) == path[i]) {
        element = candidate;
        break;
      }
    }
    if (!element) return MenuPressResult::notFound;
    if (i + 1 < path.size()) level = accessibility.menuItems(element);
  }
  int error = accessibility.press(element);
  if (error == 0) return MenuPressResult::pressed;
  sessionLog().notice("AXPress %s failed: %d", joined(path).c_str(), error);
  return MenuPressResult::failed;
}

}  // namespace brindlet::host

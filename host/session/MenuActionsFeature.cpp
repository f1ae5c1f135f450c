#include "host/session/MenuActionsFeature.h"

#include <chrono>
#include <functional>

#include "host/HostLog.h"
#include "host/control/InputInjector.h"
#include "host/control/MenuReading.h"
#include "host/session/SessionDispatch.h"

namespace brindlet::host {

namespace {

constexpr const char* notAvailable = "Not available right now";
constexpr const char* notFound = "Action not found";
// Actions under way at once, at most.
constexpr std::size_t maxPerformsInFlight = 4;

// A tick for the refresher; ticks that come while one waits fold into it.
void tick(const AsyncStream<Change>& ticks) {
  if (ticks.count() == 0) ticks.yield(Change{});
}

long nodeCount(const std::vector<MenuNode>& menus) {
  long count = 0;
  for (const MenuNode& node : menus) count += long(node.itemCount());
  return count;
}

}  // namespace

void MenuActionsFeature::registerHandlers(SessionDispatch& d) {
  d.on<&MenuActionsFeature::onWatchActions>();
  d.on<&MenuActionsFeature::onPerformAction>();
}

asio::awaitable<void> MenuActionsFeature::onWatchActions(const msg::WatchActions& message) {
  stopWatching();
  if (!message.enabled) co_return;
  const auto& menus = core_.env().menus;
  if (!menus) {
    core_.reportUnavailable<msg::WatchActions>("menu actions");
    co_return;
  }
  // The first refresh sends the tree even when it equals the last one sent.
  lastActions_.reset();
  sessionLog().info("actions: watching");
  AsyncStream<Change> ticks;
  const std::uint64_t watch = ++watch_;
  actionsTasks_.push_back(
      core_.spawnTask(ticker(ticks, core_.env().clock, Clock::seconds(core_.env().actionsRefreshInterval))));
  actionsTasks_.push_back(core_.spawnTask(forwardActivations(menus->activations(), ticks)));
  actionsTasks_.push_back(core_.spawnTask(refresher(core_.weakFeature(this), ticks, watch)));
}

void MenuActionsFeature::stopWatching() {
  ++watch_;
  actionsTasks_.clear();  // each cancelled as it goes
}

void MenuActionsFeature::stop() {
  stopWatching();
  performs_.clear();
}

asio::awaitable<void> MenuActionsFeature::ticker(AsyncStream<Change> ticks, std::shared_ptr<Clock> clock,
                                                 Clock::Duration interval) {
  struct Finish {
    AsyncStream<Change> stream;
    ~Finish() { stream.finish(); }
  } finish{ticks};
  for (;;) {
    tick(ticks);
    co_await clock->sleep(interval);
  }
}

asio::awaitable<void> MenuActionsFeature::forwardActivations(AsyncStream<Change> activations,
                                                             AsyncStream<Change> ticks) {
  // Ending the stream unsubscribes it.
  struct Finish {
    AsyncStream<Change> stream;
    ~Finish() { stream.finish(); }
  } finish{activations};
  while (auto activation = co_await activations.next()) tick(ticks);
}

asio::awaitable<void> MenuActionsFeature::refresher(std::weak_ptr<MenuActionsFeature> feature,
                                                    AsyncStream<Change> ticks, std::uint64_t watch) {
  while (auto t = co_await ticks.next()) {
    auto self = feature.lock();
    if (!self || self->watch_ != watch) co_return;
    co_await self->refresh(watch);
  }
}

asio::awaitable<void> MenuActionsFeature::refresh(std::uint64_t watch) {
  const auto menus = core_.env().menus;
  auto app = menus->frontmostApp();
  if (!app) co_return;
  std::optional<MenuTree> tree = co_await menus->readMenus(app->pid);
  // Watching stopped or started again meanwhile.
  if (watch != watch_) co_return;
  sendIfChanged(*app, tree);
}

void MenuActionsFeature::sendIfChanged(const MenuSource::FrontmostApp& app, const std::optional<MenuTree>& tree) {
  const bool sameApp = lastActions_ && lastActions_->pid == app.pid && lastActions_->bundleID == app.bundleID;
  std::vector<MenuNode> menus;
  if (!tree) {
    // The device keeps the tree it has of this app.
    if (sameApp) return;
  } else {
    if (sameApp && lastActions_->menus == tree->menus) return;
    menus = tree->menus;
  }
  ++actionsGeneration_;  // wraps at 2^32
  lastActions_ = SentActions{app.pid, app.bundleID, actionsGeneration_, menus};
  sessionLog().info("actions: %s gen %u, %ld items", app.bundleID.c_str(), actionsGeneration_, nodeCount(menus));
  core_.send(msg::AppActions{app.bundleID, app.name, actionsGeneration_, std::move(menus)});
}

asio::awaitable<void> MenuActionsFeature::onPerformAction(const msg::PerformAction& message) {
  // Each action runs in a task of its own, so a slow app does not hold the session's other
  // messages; the task holds the session only while it works.
  performs_.remove_if([](const Task& task) { return !task.isRunning(); });
  // Each holds the one accessibility thread for a read and a press: past a few, the device
  // is told to try again rather than queueing without end.
  if (performs_.size() >= maxPerformsInFlight) {
    std::string label;
    for (const std::string& title : message.path) label += (label.empty() ? "" : "/") + title;
    replyFailed(notAvailable, label);
    co_return;
  }
  performs_.push_back(core_.spawnTask(performing(core_.weakFeature(this), message.generation, message.path)));
  co_return;
}

asio::awaitable<void> MenuActionsFeature::performing(std::weak_ptr<MenuActionsFeature> feature,
                                                     std::uint32_t generation, std::vector<std::string> path) {
  auto self = feature.lock();
  if (!self) co_return;
  co_await self->perform(generation, std::move(path));
}

asio::awaitable<void> MenuActionsFeature::perform(std::uint32_t generation, std::vector<std::string> path) {
  std::string label;
  for (const std::string& title : path) label += (label.empty() ? "" : "/") + title;
  const auto& menus = core_.env().menus;
  std::optional<MenuSource::FrontmostApp> app = menus ? menus->frontmostApp() : std::nullopt;
  // The item must be one of the tree the device was shown, of the app that is in front now:
  // an item of another generation or another app could act on something else.
  auto isShown = [&](const std::optional<SentActions>& sent) {
    return sent && sent->generation == generation && sent->pid == app->pid && sent->bundleID == app->bundleID;
  };
  if (!app || !isShown(lastActions_)) {
    replyFailed(notAvailable, label);
    co_return;
  }
  std::optional<MenuTree> fresh = co_await menus->readMenus(app->pid);
  // Read again after the wait: a new tree may have been sent, another app may be in front.
  const std::optional<SentActions> seen = lastActions_;
  if (menus->frontmostApp() != app || !isShown(seen)) {
    replyFailed(notAvailable, label);
    co_return;
  }
  const MenuNode* inSeen = findMenuNode(path, seen->menus);
  std::optional<MenuNode> shownNode;
  if (inSeen) shownNode = *inSeen;
  if (!fresh) {
    // The menus could not be read: press all the same.
    co_await press(app->pid, path, label, shownNode);
    co_return;
  }
  const MenuNode* node = findMenuNode(path, fresh->menus);
  if (node && node->enabled) {
    std::optional<MenuNode> freshNode = *node;
    co_await press(app->pid, path, label, freshNode);
  } else if (node) {
    replyFailed(notAvailable, label);
  } else if (fresh->cut) {
    // The read stopped short of the whole tree: the item may lie past where it stopped.
    co_await press(app->pid, path, label, shownNode);
  } else if (!typeShortcut(inSeen, label)) {
    replyFailed(notFound, label);
  }
}

asio::awaitable<void> MenuActionsFeature::press(std::int32_t pid, std::vector<std::string> path, std::string label,
                                                std::optional<MenuNode> remembered) {
  MenuPressResult result = co_await core_.env().menus->press(pid, path);
  if (result == MenuPressResult::pressed) {
    core_.send(msg::ActionResult{true, ""});
    co_return;
  }
  if (!typeShortcut(remembered ? &*remembered : nullptr, label)) replyFailed(notAvailable, label);
}

bool MenuActionsFeature::typeShortcut(const MenuNode* node, const std::string& label) {
  const auto& injector = core_.env().injector;
  if (!node || node->key.empty() || !injector) return false;
  auto events = shortcutKeyEvents(node->key, node->modifiers, core_.env().keyLayout);
  if (!events) return false;
  for (const KeyEvent& event : *events) injector->key(event);
  sessionLog().info("actions: %s sent as shortcut", label.c_str());
  core_.send(msg::ActionResult{true, ""});
  return true;
}

void MenuActionsFeature::replyFailed(const char* text, const std::string& label) {
  sessionLog().notice("actions: %s failed: %s", label.c_str(), text);
  core_.send(msg::ActionResult{false, text});
}

}  // namespace brindlet::host

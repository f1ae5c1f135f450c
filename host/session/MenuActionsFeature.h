#pragma once

// The frontmost app's menus as actions the device can perform. While the device watches,
// the session sends the menu tree of the app in front whenever it changes (read every
// `actionsRefreshInterval` and at once when another app comes to the front), numbered by a
// generation that only ever grows (wrapping). The device performs an item by its path of
// titles and the generation it was shown under: the item is pressed, or failing that its
// keyboard shortcut is typed. A request made under a tree that is no longer the one in front
// (another generation was sent since, or another app came to the front) is refused.

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/control/MenuSource.h"
#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;

class MenuActionsFeature {
 public:
  explicit MenuActionsFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onWatchActions(const msg::WatchActions& message);
  asio::awaitable<void> onPerformAction(const msg::PerformAction& message);

  // Stops watching and every action in progress (the session's end).
  void stop();

  // The last tree sent.
  struct SentActions {
    std::int32_t pid = 0;
    std::string bundleID;
    std::uint32_t generation = 0;
    std::vector<MenuNode> menus;

    bool operator==(const SentActions&) const = default;
  };

 private:
  void stopWatching();
  asio::awaitable<void> refresh(std::uint64_t watch);
  void sendIfChanged(const MenuSource::FrontmostApp& app, const std::optional<MenuTree>& tree);
  asio::awaitable<void> perform(std::uint32_t generation, std::vector<std::string> path);
  // Presses the item; when that fails, types the shortcut of `remembered` instead.
  asio::awaitable<void> press(std::int32_t pid, std::vector<std::string> path, std::string label,
                              std::optional<MenuNode> remembered);
  bool typeShortcut(const MenuNode* node, const std::string& label);
  void replyFailed(const char* text, const std::string& label);

  static asio::awaitable<void> ticker(AsyncStream<Change> ticks, std::shared_ptr<Clock> clock,
                                      Clock::Duration interval);
  static asio::awaitable<void> forwardActivations(AsyncStream<Change> activations, AsyncStream<Change> ticks);
  static asio::awaitable<void> refresher(std::weak_ptr<MenuActionsFeature> feature, AsyncStream<Change> ticks,
                                         std::uint64_t watch);
  static asio::awaitable<void> performing(std::weak_ptr<MenuActionsFeature> feature, std::uint32_t generation,
                                          std::vector<std::string> path);

  SessionCore& core_;
  std::vector<Task> actionsTasks_;  // ticker, activation forwarder, refresher
  std::uint64_t watch_ = 0;         // which watch is current; a superseded refresh sends nothing
  std::uint32_t actionsGeneration_ = 0;
  std::optional<SentActions> lastActions_;
  std::list<Task> performs_;
};

}  // namespace brindlet::host

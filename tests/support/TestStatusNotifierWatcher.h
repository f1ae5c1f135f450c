#pragma once

// A tray for tests: org.kde.StatusNotifierWatcher on a bus the test names, which takes the
// items that register and says whether a tray shows them, and a client of one registered item
// that clicks it and reads and uses its menu, as a desktop's tray would.
//
//   TestStatusNotifierWatcher watcher(address);          // a tray shows items
//   ASSERT_TRUE(watcher.started()) << watcher.failure();
//   std::optional<std::string> item = watcher.waitForItem(10s);
//   TrayItemClient client(address, *item);
//   client.activate();
//   for (auto& entry : client.menu()) ...; client.click(entry.id);
//
// The watcher serves the bus on a thread of its own; it gives its name up when it goes.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brindlet::platform {
class DBusBus;
}

namespace brindlet::testing {

class TestStatusNotifierWatcher {
 public:
  // `withTray`: whether it says a tray shows the items (IsStatusNotifierHostRegistered).
  explicit TestStatusNotifierWatcher(const std::string& address, bool withTray = true);
  ~TestStatusNotifierWatcher();
  TestStatusNotifierWatcher(const TestStatusNotifierWatcher&) = delete;
  TestStatusNotifierWatcher& operator=(const TestStatusNotifierWatcher&) = delete;

  bool started() const;
  const std::string& failure() const;
  // The bus name the first item registered under, once one has within `limit`.
  std::optional<std::string> waitForItem(std::chrono::milliseconds limit);
  std::vector<std::string> items();
  // A tray appears behind the watcher (StatusNotifierHostRegistered).
  void announceTray();
  // How often an item sent the signal `name` (NewIcon, LayoutUpdated ...), once at least
  // `atLeast` have arrived within `limit`.
  int waitForSignals(const std::string& name, int atLeast, std::chrono::milliseconds limit);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

class TrayItemClient {
 public:
  struct Entry {
    int id = 0;
    std::string label;
    bool enabled = true;
    bool separator = false;
  };

  TrayItemClient(const std::string& address, std::string service);
  ~TrayItemClient();

  // The item's property `name`, printed as GVariant text ("'Nolu Host'", "true" ...).
  std::string property(const std::string& name);
  void activate(int x = 0, int y = 0);
  // The menu's entries in order, from the layout the item gives.
  std::vector<Entry> menu();
  void click(int id);

 private:
  std::string service_;
  std::unique_ptr<platform::DBusBus> bus_;
};

}  // namespace brindlet::testing

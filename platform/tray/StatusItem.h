#pragma once

// The application's icon in the desktop's tray, with a small menu. Clicking the icon, or
// choosing an entry of its menu, is handed to the owner; whether the desktop shows the icon
// at all is reported too, so that the owner can offer its window some other way when it
// does not.
//
//   StatusItem::Handlers handlers;
//   handlers.activate = [] { ... toggle the panel ... };          // on the item's own thread
//   handlers.menuEntry = [](std::size_t index) { ... };
//   handlers.availability = [](bool shown, const std::string& why) { ... };
//   auto item = startStatusNotifierItem(options, std::move(handlers));
//   item->setSymbol(StatusItem::activeSymbol);
//
// The icon is named as the application names it ("circle.circle", "circle.inset.filled");
// the item draws the matching picture.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brindlet::platform {

class StatusItem {
 public:
  static constexpr const char* idleSymbol = "circle.circle";
  static constexpr const char* activeSymbol = "circle.inset.filled";

  struct MenuEntry {
    std::string label;
    bool enabled = true;
    bool separatorBefore = false;

    bool operator==(const MenuEntry&) const = default;
  };

  struct Handlers {
    // The icon was clicked (its primary action).
    std::function<void()> activate;
    // The entry at `index` of the menu last set was chosen.
    std::function<void(std::size_t index)> menuEntry;
    // Whether a tray shows the icon; `why` says why not. Reported once the first outcome is
    // known, then at every change.
    std::function<void(bool shown, const std::string& why)> availability;
  };

  virtual ~StatusItem() = default;
  // Any thread.
  virtual void setSymbol(const std::string& symbol) = 0;
  virtual void setMenu(std::vector<MenuEntry> entries) = 0;
};

// What the desktop is told about the item.
struct StatusItemOptions {
  std::string id;     // the application's name, "io.tavix.nolu.host"
  std::string title;  // "Nolu Host"
  std::string symbol = StatusItem::idleSymbol;
  std::vector<StatusItem::MenuEntry> menu;
  // The session bus at this address, else the one the environment names.
  std::optional<std::string> busAddress;
};

// The item as a StatusNotifierItem with a D-Bus menu on the session bus, registered with the
// StatusNotifierWatcher whenever one runs (also one that starts later). It serves the bus on a
// thread of its own; the handlers are called there. Never fails: without a session bus, a
// watcher or a tray behind it, `availability` says so.
std::unique_ptr<StatusItem> startStatusNotifierItem(StatusItemOptions options, StatusItem::Handlers handlers);

// The icon's picture for `symbol` (an unknown name draws the idle one): `size`×`size` pixels,
// 4 bytes each in the order alpha, red, green, blue.
std::vector<unsigned char> statusSymbolPixels(const std::string& symbol, int size);

}  // namespace brindlet::platform

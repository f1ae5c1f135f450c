#pragma once

// The application's menu-bar item: its icon in the desktop's tray, which shows whether a
// session is live ("circle.inset.filled") or not ("circle.circle"), and opens and closes the
// panel when clicked. Its menu offers the same: "Nolu Host" opens or closes the panel,
// "Quit Nolu Host" quits. Where no tray shows the icon, the panel opens as a window of its
// own at start (and again should the tray go away), and the log says why.
//
//   auto item = MenuBarItem::start(mainStrand, platform::startStatusNotifierItem, panel, quit);
//   item->update(snapshot);   // main strand, at each change of the application's values

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Executor.h"
#include "host/ui/MenuBarModel.h"
#include "platform/tray/StatusItem.h"

namespace brindlet::host {

class MenuBarItem : public std::enable_shared_from_this<MenuBarItem> {
 public:
  using StartItem =
      std::function<std::unique_ptr<platform::StatusItem>(platform::StatusItemOptions, platform::StatusItem::Handlers)>;
  // What the item does with the panel, on the main strand.
  struct Panel {
    // Brings it up; `byUser` false when the host opens it by itself.
    std::function<void(bool byUser)> show;
    std::function<void()> toggle;
    // Whether it opens from the tray (a small window without a frame) or as a window of its own.
    std::function<void(bool fromTray)> setOpensFromTray;
  };

  static constexpr const char* applicationID = "io.tavix.nolu.host";
  static constexpr const char* panelEntry = "Nolu Host";
  static constexpr const char* quitEntry = "Quit Nolu Host";

  // `startItem` makes the platform's item with the options and handlers given (the handlers
  // may be called on any thread); what they report is carried out on `main`.
  static std::shared_ptr<MenuBarItem> start(Strand main, const StartItem& startItem, Panel panel,
                                            std::function<void()> quit);

  // The icon's symbol for the session's status.
  static const char* symbol(const std::optional<SessionStatus>& status);
  static std::vector<platform::StatusItem::MenuEntry> menu();

  // Main strand.
  void update(const MenuBarSnapshot& snapshot);
  // Whether a tray shows the icon; nothing until the first outcome is known.
  std::optional<bool> shown() const { return shown_; }

 private:
  MenuBarItem(Strand main, Panel panel, std::function<void()> quit);
  void availability(bool shown, const std::string& why);
  void chosen(std::size_t index);

  Strand main_;
  Panel panel_;
  std::function<void()> quit_;
  std::unique_ptr<platform::StatusItem> item_;
  std::optional<bool> shown_;
  std::string symbol_;
};

}  // namespace brindlet::host

#pragma once

// The panel window: the product title and status, the streaming card, Disconnect, the paired
// devices, pairing, the permissions, remote access, the guide and update buttons, the two
// switches and Quit. It draws what MenuBarView::render() makes of each snapshot and hands
// every action to MenuBarActions on the main strand. The window lives on the toolkit's thread.
//
//   MenuBarPanel panel(ui, mainStrand, actions, relay);
//   panel.update(snapshot);      // main strand, at each change of the application's values
//   panel.show();

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "base/Executor.h"
#include "host/ui/MenuBarModel.h"
#include "host/ui/RelaySection.h"

namespace brindlet::platform {
class UIThread;
}

namespace brindlet::host {

class MenuBarPanel {
 public:
  static constexpr const char* title = "Nolu Host";

  // `relay` may be absent while this host has no remote access: the section then shows its
  // switch off and disabled.
  MenuBarPanel(std::shared_ptr<platform::UIThread> ui, Strand main, std::shared_ptr<MenuBarActions> actions,
               std::shared_ptr<RelaySectionModel> relay);
  ~MenuBarPanel();
  MenuBarPanel(const MenuBarPanel&) = delete;
  MenuBarPanel& operator=(const MenuBarPanel&) = delete;

  // Main strand: draws the snapshot when it or the remote-access section differs from the last
  // drawing.
  void update(const MenuBarSnapshot& snapshot);
  // Main strand: brings the panel to the front; toggle() shows or hides it (the tray item).
  // Opened by the host itself rather than by the user (at start), it does not take the focus.
  void show(bool byUser = true);
  void toggle();
  // Main strand: opened from the tray it is a small window without a frame, which Escape
  // closes; otherwise a window of its own.
  void setOpensFromTray(bool fromTray);

 private:
  struct Toolkit;
  std::shared_ptr<platform::UIThread> ui_;
  Strand main_;
  std::shared_ptr<MenuBarActions> actions_;
  std::shared_ptr<RelaySectionModel> relay_;
  std::shared_ptr<Toolkit> toolkit_;
  // What was drawn last: a change of the model that draws the same (an encode time moving
  // within its rounding) redraws nothing, since the panel lies on the screen it streams.
  std::optional<MenuBarView> last_;
  std::optional<std::optional<RelaySection::View>> lastRelay_;
};

// "just now", "5 min ago", "3 h ago", "2 days ago": how long ago a device was last seen.
std::string relativeAge(std::chrono::seconds elapsed);

}  // namespace brindlet::host

#pragma once

// The host's windows, wired to the application model: the toolkit's thread, the pairing
// windows (the compared-code confirmation, the QR code). Made once by the application entry
// after the model; where no display can be opened the host runs without windows and says so.
//
//   auto ui = UserInterface::start(mainStrand, clock, model);   // nothing without a display
//   ... ui goes before the model

#include <memory>
#include <string>

#include "base/Clock.h"
#include "base/Executor.h"

namespace brindlet::platform {
class UIThread;
}

namespace brindlet::host {

class AppModel;
class HostWindows;
class MenuBarPanel;

class UserInterface {
 public:
  // On any thread before the model starts; the model's pairing callbacks are set here.
  static std::unique_ptr<UserInterface> start(Strand main, std::shared_ptr<Clock> clock,
                                              const std::shared_ptr<AppModel>& model);
  ~UserInterface();

  const std::shared_ptr<HostWindows>& windows() const { return windows_; }
  // Main strand: brings the panel to the front (a second start of the host asks for it).
  void showPanel();

 private:
  class Actions;
  UserInterface() = default;

  std::shared_ptr<platform::UIThread> ui_;
  std::shared_ptr<HostWindows> windows_;
  std::shared_ptr<Actions> actions_;
  std::shared_ptr<MenuBarPanel> panel_;
};

}  // namespace brindlet::host

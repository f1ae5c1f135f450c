#pragma once

// The host's windows, wired to the application model: the toolkit's thread, the panel and
// the tray item that opens it, the first-run guide, the pairing windows (the compared-code
// confirmation, the QR code) and the invite questions. Made once by the application entry
// after the model; where no display can be opened the host runs without windows and says so.
//
//   auto toolkit = UserInterface::launchToolkit();   // before the host is put together
//   auto ui = UserInterface::start(std::move(toolkit), mainStrand, clock, model, settings, updates);
//   ... ui goes before the model

#include <memory>
#include <string>

#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/support/Task.h"

namespace brindlet::platform {
class UIThread;
class UIThreadStart;
class UserDefaults;
}  // namespace brindlet::platform

namespace brindlet::host {

class AppModel;
class HostWindows;
class MenuBarItem;
class MenuBarPanel;
class OnboardingWindow;
class UpdateController;

class UserInterface {
 public:
  // On any thread before the model starts; the model's pairing callbacks are set here.
  // Makes the toolkit's thread, early (before the host is put together: it sets GTK's
  // variables in the environment). GTK itself starts once the listener has had its start
  // (it listens, or waits to try again), or 3 seconds after start() at the latest: what the
  // windows are asked to do before then is done then. UserInterface::start() does not wait
  // for it (without a display it logs why the host has no windows once GTK has failed).
  static std::unique_ptr<platform::UIThreadStart> launchToolkit();
  // `settings` keeps whether the first-run guide was finished; `updates` (may be absent)
  // enables "Check for Updates…".
  static std::unique_ptr<UserInterface> start(std::unique_ptr<platform::UIThreadStart> toolkit, Strand main,
                                              std::shared_ptr<Clock> clock, const std::shared_ptr<AppModel>& model,
                                              std::shared_ptr<platform::UserDefaults> settings,
                                              std::shared_ptr<UpdateController> updates);
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
  std::shared_ptr<MenuBarItem> item_;
  std::shared_ptr<OnboardingWindow> guide_;
  Task toolkitStart_;
};

}  // namespace brindlet::host

#pragma once

// Sleep, wake, display sleep and screen lock of this machine, from the desktop's D-Bus
// services:
//   - logind (org.freedesktop.login1, system bus): PrepareForSleep(true) is willSleep,
//     PrepareForSleep(false) didWake; the Lock and Unlock signals of this process's login
//     session are screenLocked and screenUnlocked (of any session when this process is in
//     none that logind knows);
//   - the screen saver (org.freedesktop.ScreenSaver, session bus): ActiveChanged(true) is
//     screensDidSleep, ActiveChanged(false) screensDidWake.
//
//   SystemPowerEvents events([](PowerEvent e) { ... });   // called on the watcher's thread
//   events.start();                                        // never throws; a missing bus is logged
//   events.stop();                                         // no call after it has returned
//
// The watcher runs its own GLib main context on a thread of its own (platform/support/WorkerThread.h).

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace brindlet::platform {

enum class PowerEvent { willSleep, didWake, screensDidSleep, screensDidWake, screenLocked, screenUnlocked };

// The case's name: "willSleep", "didWake", ...
const char* powerEventName(PowerEvent event);

class SystemPowerEvents {
 public:
  using Handler = std::function<void(PowerEvent)>;

  // The buses at the addresses given, else those the environment names (DBusBus).
  explicit SystemPowerEvents(Handler handler, std::optional<std::string> systemBusAddress = std::nullopt,
                             std::optional<std::string> sessionBusAddress = std::nullopt);
  ~SystemPowerEvents();
  SystemPowerEvents(const SystemPowerEvents&) = delete;
  SystemPowerEvents& operator=(const SystemPowerEvents&) = delete;

  // Subscribes on both buses; returns once the subscriptions are in place (or have failed,
  // which is logged: events of that bus are then never reported).
  void start();
  // Unsubscribes and closes both connections; a stopped watcher does not start again.
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace brindlet::platform

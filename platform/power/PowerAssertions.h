#pragma once

// Display-sleep assertions of this desktop session, over org.freedesktop.ScreenSaver on the
// session bus: an assertion is a screen-saver inhibition (its cookie is the assertion's
// ID), and declaring user activity is SimulateUserActivity, which lights a blanked display.
//
//   PowerAssertions assertions(std::make_shared<DBusBus>(DBusBus::Kind::session));
//   std::uint32_t id = 0;
//   if (assertions.preventDisplaySleep("Nolu remote session", id) == 0) { ... assertions.release(id); }
//
// Every operation answers a return code: 0 for success, else the bus's error code. The
// inhibitions live as long as this object's bus connection (the screen saver drops them
// when the connection closes).

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/power/DBusBus.h"

namespace brindlet::platform {

class PowerAssertions {
 public:
  explicit PowerAssertions(std::shared_ptr<DBusBus> sessionBus);

  int preventDisplaySleep(const std::string& name, std::uint32_t& id);
  int release(std::uint32_t id);
  int declareUserActivity(const std::string& name);

 private:
  // Says once in the life of the object why the screen saver cannot be reached: a missing
  // service fails every call the same way.
  void reportFailure(const char* call, const DBusError& error);

  std::shared_ptr<DBusBus> bus_;
  std::atomic<bool> reported_{false};
};

}  // namespace brindlet::platform

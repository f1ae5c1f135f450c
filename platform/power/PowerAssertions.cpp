#include "platform/power/PowerAssertions.h"

#include <gio/gio.h>

#include "platform/power/PowerLog.h"

namespace brindlet::platform {

namespace {

constexpr const char* service = "org.freedesktop.ScreenSaver";
constexpr const char* path = "/org/freedesktop/ScreenSaver";
constexpr const char* applicationName = "Nolu Host";

}  // namespace

PowerAssertions::PowerAssertions(std::shared_ptr<DBusBus> sessionBus) : bus_(std::move(sessionBus)) {}

void PowerAssertions::reportFailure(const char* call, const DBusError& error) {
  if (reported_.exchange(true)) return;
  powerLog().error(
      "the screen saver service (%s on the session bus) cannot be used, so the display is not kept "
      "awake: %s failed: %s",
      service, call, error.what());
}

int PowerAssertions::preventDisplaySleep(const std::string& name, std::uint32_t& id) {
  try {
    GVariant* reply = bus_->call(service, path, service, "Inhibit",
                                 g_variant_new("(ss)", applicationName, name.c_str()), G_VARIANT_TYPE("(u)"));
    guint32 cookie = 0;
    g_variant_get(reply, "(u)", &cookie);
    g_variant_unref(reply);
    id = cookie;
    return 0;
  } catch (const DBusError& error) {
    reportFailure("Inhibit", error);
    return error.code();
  }
}

int PowerAssertions::release(std::uint32_t id) {
  try {
    g_variant_unref(bus_->call(service, path, service, "UnInhibit", g_variant_new("(u)", id), nullptr));
    return 0;
  } catch (const DBusError& error) {
    reportFailure("UnInhibit", error);
    return error.code();
  }
}

int PowerAssertions::declareUserActivity(const std::string&) {
  try {
    g_variant_unref(bus_->call(service, path, service, "SimulateUserActivity", nullptr, nullptr));
    return 0;
  } catch (const DBusError& error) {
    reportFailure("SimulateUserActivity", error);
    return error.code();
  }
}

}  // namespace brindlet::platform

#include "platform/power/DBusBus.h"

#include <gio/gio.h>

#include <cstdlib>
#include <filesystem>

namespace brindlet::platform {

namespace {

std::optional<std::string> environmentAddress(DBusBus::Kind kind) {
  const char* variable = kind == DBusBus::Kind::session ? "DBUS_SESSION_BUS_ADDRESS" : "DBUS_SYSTEM_BUS_ADDRESS";
  if (const char* value = std::getenv(variable); value && *value) return std::string(value);
  if (kind == DBusBus::Kind::system) return std::string("unix:path=/run/dbus/system_bus_socket");
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    std::filesystem::path socket = std::filesystem::path(runtime) / "bus";
    std::error_code error;
    if (std::filesystem::exists(socket, error)) return "unix:path=" + socket.string();
  }
  return std::nullopt;
}

[[noreturn]] void throwError(GError* error) {
  int code = error->code != 0 ? error->code : -1;
  std::string message = error->message ? error->message : "D-Bus error";
  g_error_free(error);
  throw DBusError(code, message);
}

}  // namespace

DBusBus::DBusBus(Kind kind) : address_(environmentAddress(kind)) {}

DBusBus::DBusBus(std::string address) : address_(std::move(address)) {}

DBusBus::~DBusBus() {
  if (connection_) {
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }
}

GDBusConnection* DBusBus::connection() {
  std::lock_guard lock(mutex_);
  if (connection_ && !g_dbus_connection_is_closed(connection_)) return connection_;
  if (connection_) {
    g_object_unref(connection_);
    connection_ = nullptr;
  }
  if (!address_) throw DBusError(-1, "no D-Bus bus address is set");
  GError* error = nullptr;
  auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  GDBusConnection* connection =
      g_dbus_connection_new_for_address_sync(address_->c_str(), flags, nullptr, nullptr, &error);
  if (!connection) throwError(error);
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  connection_ = connection;
  return connection_;
}

GVariant* DBusBus::call(const char* destination, const char* path, const char* interface, const char* method,
                        GVariant* parameters, const GVariantType* replyType, int timeoutMs) {
  GDBusConnection* bus = nullptr;
  try {
    bus = connection();
  } catch (...) {
    if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
    throw;
  }
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, destination, path, interface, method, parameters, replyType,
                                                G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, &error);
  if (!reply) throwError(error);
  return reply;
}

}  // namespace brindlet::platform

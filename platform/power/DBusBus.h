#pragma once

// A private connection to a D-Bus message bus, opened by address.
//
//   auto bus = DBusBus::session();           // DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus
//   GVariant* reply = bus->call(...);        // synchronous, with a time-out
//
// Each DBusBus holds its own connection (never GLib's shared singleton), so what a caller
// registers on the bus (a screen-saver inhibition) lasts exactly as long as this object.
// No bus daemon is ever started on demand: without an address the bus is simply missing.

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;
typedef struct _GVariantType GVariantType;

namespace brindlet::platform {

// A failed bus operation: its GLib error code (never 0) and message.
class DBusError : public std::runtime_error {
 public:
  DBusError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

class DBusBus {
 public:
  enum class Kind { session, system };

  // The bus of that kind as the environment names it (DBUS_SESSION_BUS_ADDRESS or
  // DBUS_SYSTEM_BUS_ADDRESS; else $XDG_RUNTIME_DIR/bus for the session bus and the
  // well-known system socket). Nothing is connected until the first call.
  explicit DBusBus(Kind kind);
  // The bus at `address` (a D-Bus address such as "unix:path=/run/bus").
  explicit DBusBus(std::string address);
  ~DBusBus();
  DBusBus(const DBusBus&) = delete;
  DBusBus& operator=(const DBusBus&) = delete;

  // The address this bus connects to; nothing when the environment names none.
  const std::optional<std::string>& address() const { return address_; }

  // Calls a method and waits for its reply (at most `timeoutMs`). Returns the reply's
  // arguments (owned by the caller: g_variant_unref) or throws DBusError.
  GVariant* call(const char* destination, const char* path, const char* interface, const char* method,
                 GVariant* parameters, const GVariantType* replyType, int timeoutMs = 2000);

  // The connection, opened on first use; throws DBusError when the bus cannot be reached.
  // Borrowed: valid as long as this object.
  GDBusConnection* connection();

 private:
  std::optional<std::string> address_;
  std::mutex mutex_;  // guards connection_
  GDBusConnection* connection_ = nullptr;
};

}  // namespace brindlet::platform

// One host per name on the session bus: the first claim holds the name and hears what later
// starts send it (links, a bare activation); going away gives the name back.

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/SingleInstance.h"
#include "support/PrivateSessionBus.h"

namespace brindlet::platform {
namespace {

using namespace std::chrono_literals;

constexpr const char* kName = "io.tavix.nolu.host.test";
constexpr const char* kPath = "/io/tavix/nolu/host/test";

struct Heard {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;

  void add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
    changed.notify_all();
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return events.size() >= count; });
  }
};

// A connection of its own, as another process would have.
GDBusConnection* connect(const std::string& address) {
  return g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
}

bool call(GDBusConnection* bus, const char* method, GVariant* arguments) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, kName, kPath, "org.freedesktop.Application", method, arguments,
                                                nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  if (error) ADD_FAILURE() << method << ": " << error->message;
  g_clear_error(&error);
  if (reply) g_variant_unref(reply);
  return reply != nullptr;
}

bool nameHasOwner(GDBusConnection* bus) {
  GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", kName),
                                                G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (!reply) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

TEST(SingleInstanceTest, ThePrimaryHearsLaterStartsAndGivesTheNameBack) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "needs the test services' session bus";
  testing::PrivateSessionBus bus("single-instance");
  // Only the bus itself is needed here, not its accessibility bus.
  ASSERT_FALSE(bus.address().empty()) << bus.failure();
  bus.exportToThisProcess();

  Heard heard;
  auto claim = SingleInstance::claim(
      kName, {}, {[&] { heard.add("activate"); }, [&](std::string url) { heard.add("open " + url); }});
  ASSERT_EQ(claim.outcome, SingleInstance::Outcome::primary) << claim.error;
  ASSERT_TRUE(claim.held);

  GDBusConnection* other = connect(bus.address());
  ASSERT_TRUE(other);
  EXPECT_TRUE(nameHasOwner(other));
  GVariantBuilder uris;
  g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
  g_variant_builder_add(&uris, "s", "nolu://invite?code=ABCDE-FGHJK");
  g_variant_builder_add(&uris, "s", "brindlet://pair?v=1");
  EXPECT_TRUE(call(other, "Open", g_variant_new("(asa{sv})", &uris, nullptr)));
  EXPECT_TRUE(call(other, "Activate", g_variant_new("(a{sv})", nullptr)));
  ASSERT_TRUE(heard.waitFor(3));
  EXPECT_EQ(heard.events,
            (std::vector<std::string>{"open nolu://invite?code=ABCDE-FGHJK", "open brindlet://pair?v=1", "activate"}));

  claim.held.reset();
  EXPECT_FALSE(nameHasOwner(other));
  g_object_unref(other);
}

TEST(SingleInstanceTest, ANameTheBusCannotCarryIsRefused) {
  auto claim = SingleInstance::claim("not a name", {"nolu://x"}, {});
  EXPECT_EQ(claim.outcome, SingleInstance::Outcome::unavailable);
  EXPECT_FALSE(claim.held);
  EXPECT_NE(claim.error.find("not an application name"), std::string::npos);
}

}  // namespace
}  // namespace brindlet::platform

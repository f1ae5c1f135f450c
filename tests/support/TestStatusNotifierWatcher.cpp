#include "support/TestStatusNotifierWatcher.h"

#include <gio/gio.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/power/DBusBus.h"

namespace brindlet::testing {

namespace {

constexpr const char* watcherXML = R"(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>)";

}  // namespace

struct TestStatusNotifierWatcher::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool ready = false;
  std::string failure;
  std::vector<std::string> items;
  std::map<std::string, int> signals;
  bool tray = true;

  GMainContext* context = g_main_context_new();
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  GDBusConnection* connection = nullptr;  // the thread only
  std::thread thread;

  ~State() {
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }

  void post(std::function<void()> work) {
    auto* posted = new std::function<void()>(std::move(work));
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
          (*static_cast<std::function<void()>*>(data))();
          return G_SOURCE_REMOVE;
        },
        posted, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  }

  static void onCall(GDBusConnection* connection, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                     GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* state = static_cast<State*>(data);
    if (std::string(method) == "RegisterStatusNotifierItem") {
      const gchar* service = nullptr;
      g_variant_get(parameters, "(&s)", &service);
      std::string name = service[0] == '/' ? sender : service;
      g_dbus_method_invocation_return_value(invocation, nullptr);
      g_dbus_connection_emit_signal(connection, nullptr, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                                    "StatusNotifierItemRegistered", g_variant_new("(s)", name.c_str()), nullptr);
      std::lock_guard lock(state->mutex);
      state->items.push_back(name);
      state->changed.notify_all();
      return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  static GVariant* onProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError**,
                              gpointer data) {
    auto* state = static_cast<State*>(data);
    std::lock_guard lock(state->mutex);
    std::string property(name);
    if (property == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(state->tray);
    if (property == "ProtocolVersion") return g_variant_new_int32(0);
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    for (const std::string& item : state->items) g_variant_builder_add(&builder, "s", item.c_str());
    return g_variant_builder_end(&builder);
  }

  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member, GVariant*,
                       gpointer data) {
    auto* state = static_cast<State*>(data);
    std::lock_guard lock(state->mutex);
    ++state->signals[member];
    state->changed.notify_all();
  }

  void run(std::string address) {
    g_main_context_push_thread_default(context);
    GError* error = nullptr;
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(watcherXML, nullptr);
    connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    guint object = 0;
    std::vector<guint> subscriptions;
    if (connection) {
      static const GDBusInterfaceVTable table{&State::onCall, &State::onProperty, nullptr, {}};
      object = g_dbus_connection_register_object(connection, "/StatusNotifierWatcher", node->interfaces[0], &table,
                                                 this, nullptr, &error);
      for (const char* interface : {"org.kde.StatusNotifierItem", "com.canonical.dbusmenu"}) {
        subscriptions.push_back(g_dbus_connection_signal_subscribe(connection, nullptr, interface, nullptr, nullptr,
                                                                   nullptr, G_DBUS_SIGNAL_FLAGS_NONE, &State::onSignal,
                                                                   this, nullptr));
      }
    }
    if (connection && object) {
      GVariant* reply = g_dbus_connection_call_sync(
          connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
          g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
          5000, nullptr, &error);
      guint32 answer = 0;
      if (reply) {
        g_variant_get(reply, "(u)", &answer);
        g_variant_unref(reply);
        if (answer != 1) failure = "another StatusNotifierWatcher runs on the bus";
      }
    }
    {
      std::lock_guard lock(mutex);
      if (error) failure = error->message;
      ready = true;
      changed.notify_all();
    }
    g_clear_error(&error);
    if (failure.empty()) g_main_loop_run(loop);
    if (connection) {
      for (guint id : subscriptions) g_dbus_connection_signal_unsubscribe(connection, id);
      if (object) g_dbus_connection_unregister_object(connection, object);
      g_dbus_connection_close_sync(connection, nullptr, nullptr);
      g_object_unref(connection);
    }
    g_dbus_node_info_unref(node);
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
  }
};

TestStatusNotifierWatcher::TestStatusNotifierWatcher(const std::string& address, bool withTray)
    : state_(std::make_shared<State>()) {
  state_->tray = withTray;
  State* state = state_.get();
  state_->thread = std::thread([state, address] { state->run(address); });
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [state] { return state->ready; });
}

TestStatusNotifierWatcher::~TestStatusNotifierWatcher() {
  State* state = state_.get();
  state_->post([state] { g_main_loop_quit(state->loop); });
  state_->thread.join();
}

bool TestStatusNotifierWatcher::started() const { return state_->failure.empty(); }
const std::string& TestStatusNotifierWatcher::failure() const { return state_->failure; }

std::optional<std::string> TestStatusNotifierWatcher::waitForItem(std::chrono::milliseconds limit) {
  std::unique_lock lock(state_->mutex);
  if (!state_->changed.wait_for(lock, limit, [this] { return !state_->items.empty(); })) return std::nullopt;
  return state_->items.front();
}

std::vector<std::string> TestStatusNotifierWatcher::items() {
  std::lock_guard lock(state_->mutex);
  return state_->items;
}

void TestStatusNotifierWatcher::announceTray() {
  State* state = state_.get();
  state_->post([state] {
    {
      std::lock_guard lock(state->mutex);
      state->tray = true;
    }
    g_dbus_connection_emit_signal(state->connection, nullptr, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                                  "StatusNotifierHostRegistered", nullptr, nullptr);
  });
}

int TestStatusNotifierWatcher::waitForSignals(const std::string& name, int atLeast, std::chrono::milliseconds limit) {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait_for(lock, limit, [&] { return state_->signals[name] >= atLeast; });
  return state_->signals[name];
}

TrayItemClient::TrayItemClient(const std::string& address, std::string service)
    : service_(std::move(service)), bus_(std::make_unique<platform::DBusBus>(address)) {}

TrayItemClient::~TrayItemClient() = default;

std::string TrayItemClient::property(const std::string& name) {
  GVariant* reply =
      bus_->call(service_.c_str(), "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                 g_variant_new("(ss)", "org.kde.StatusNotifierItem", name.c_str()), G_VARIANT_TYPE("(v)"));
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  gchar* printed = g_variant_print(value, FALSE);
  std::string result(printed);
  g_free(printed);
  g_variant_unref(value);
  g_variant_unref(reply);
  return result;
}

void TrayItemClient::activate(int x, int y) {
  g_variant_unref(bus_->call(service_.c_str(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
                             g_variant_new("(ii)", x, y), nullptr));
}

std::vector<TrayItemClient::Entry> TrayItemClient::menu() {
  std::string path = property("Menu");
  // Printed as objectpath '/MenuBar'.
  path = path.substr(path.find('\'') + 1);
  path = path.substr(0, path.find('\''));
  GVariant* reply =
      bus_->call(service_.c_str(), path.c_str(), "com.canonical.dbusmenu", "GetLayout",
                 g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)), G_VARIANT_TYPE("(u(ia{sv}av))"));
  std::vector<Entry> entries;
  GVariant* root = g_variant_get_child_value(reply, 1);
  GVariant* children = g_variant_get_child_value(root, 2);
  for (gsize i = 0; i < g_variant_n_children(children); ++i) {
    GVariant* boxed = g_variant_get_child_value(children, i);
    GVariant* child = g_variant_get_variant(boxed);
    Entry entry;
    GVariant* properties = nullptr;
    g_variant_get(child, "(i@a{sv}av)", &entry.id, &properties, nullptr);
    const gchar* text = nullptr;
    if (g_variant_lookup(properties, "label", "&s", &text)) entry.label = text;
    gboolean enabled = TRUE;
    if (g_variant_lookup(properties, "enabled", "b", &enabled)) entry.enabled = enabled;
    if (g_variant_lookup(properties, "type", "&s", &text)) entry.separator = std::string(text) == "separator";
    entries.push_back(entry);
    g_variant_unref(properties);
    g_variant_unref(child);
    g_variant_unref(boxed);
  }
  g_variant_unref(children);
  g_variant_unref(root);
  g_variant_unref(reply);
  return entries;
}

void TrayItemClient::click(int id) {
  std::string path = property("Menu");
  path = path.substr(path.find('\'') + 1);
  path = path.substr(0, path.find('\''));
  g_variant_unref(bus_->call(service_.c_str(), path.c_str(), "com.canonical.dbusmenu", "Event",
                             g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), nullptr));
}

}  // namespace brindlet::testing

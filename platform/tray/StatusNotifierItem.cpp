// The tray item over D-Bus: org.kde.StatusNotifierItem at /StatusNotifierItem and its menu,
// com.canonical.dbusmenu at /MenuBar, under the name org.kde.StatusNotifierItem-PID-1,
// registered with org.kde.StatusNotifierWatcher whenever that name has an owner. Everything
// on the bus happens on the item's own thread and GLib main context; calls out are
// asynchronous, since a watcher may read the item's properties before it answers.

#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "platform/power/DBusBus.h"
#include "platform/support/MainLoopQuit.h"
#include "platform/support/WorkerThread.h"
#include "platform/tray/StatusItem.h"

namespace brindlet::platform {

namespace {

constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* watcherPath = "/StatusNotifierWatcher";
constexpr const char* itemPath = "/StatusNotifierItem";
constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
constexpr const char* menuPath = "/MenuBar";
constexpr const char* menuInterface = "com.canonical.dbusmenu";

constexpr const char* introspection = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg name="parentId" type="i" direction="in"/>
      <arg name="recursionDepth" type="i" direction="in"/>
      <arg name="propertyNames" type="as" direction="in"/>
      <arg name="revision" type="u" direction="out"/>
      <arg name="layout" type="(ia{sv}av)" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg name="ids" type="ai" direction="in"/>
      <arg name="propertyNames" type="as" direction="in"/>
      <arg name="properties" type="a(ia{sv})" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg name="id" type="i" direction="in"/>
      <arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="Event">
      <arg name="id" type="i" direction="in"/>
      <arg name="eventId" type="s" direction="in"/>
      <arg name="data" type="v" direction="in"/>
      <arg name="timestamp" type="u" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg name="events" type="a(isvu)" direction="in"/>
      <arg name="idErrors" type="ai" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg name="id" type="i" direction="in"/>
      <arg name="needUpdate" type="b" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg name="ids" type="ai" direction="in"/>
      <arg name="updatesNeeded" type="ai" direction="out"/>
      <arg name="idErrors" type="ai" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg name="updatedProps" type="a(ia{sv})"/>
      <arg name="removedProps" type="a(ias)"/>
    </signal>
    <signal name="LayoutUpdated"><arg name="revision" type="u"/><arg name="parent" type="i"/></signal>
    <signal name="ItemActivationRequested"><arg name="id" type="i"/><arg name="timestamp" type="u"/></signal>
  </interface>
</node>)xml";

// Coverage of a pixel by the ring between radii `inner` and `outer` around the centre,
// sampled 4×4 within the pixel.
double ringCoverage(int x, int y, double centre, double inner, double outer) {
  int inside = 0;
  for (int sy = 0; sy < 4; ++sy) {
    for (int sx = 0; sx < 4; ++sx) {
      double dx = x + (sx + 0.5) / 4 - centre;
      double dy = y + (sy + 0.5) / 4 - centre;
      double distance = std::sqrt(dx * dx + dy * dy);
      if (distance >= inner && distance <= outer) ++inside;
    }
  }
  return inside / 16.0;
}

// One menu entry as the menu protocol numbers it: entries from 1 in order, each separator
// with an ID of its own after them.
struct MenuItem {
  int id = 0;
  std::optional<std::size_t> entry;  // none: a separator
  StatusItem::MenuEntry shown;
};

}  // namespace

std::vector<unsigned char> statusSymbolPixels(const std::string& symbol, int size) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(std::max(size, 0)) * std::max(size, 0) * 4, 0);
  if (size <= 0) return pixels;
  double centre = size / 2.0;
  double stroke = std::max(1.0, size / 12.0);
  double outer = size / 2.0 - 0.5;
  double innerOuter = outer * 0.5;
  bool filled = symbol == StatusItem::activeSymbol;
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      double cover = ringCoverage(x, y, centre, outer - stroke, outer);
      cover += filled ? ringCoverage(x, y, centre, 0, innerOuter)
                      : ringCoverage(x, y, centre, innerOuter - stroke, innerOuter);
      auto alpha = static_cast<unsigned char>(std::lround(std::min(cover, 1.0) * 255));
      unsigned char* pixel = &pixels[(static_cast<std::size_t>(y) * size + x) * 4];
      // Light grey, for the dark panels most desktops give their trays.
      pixel[0] = alpha;
      pixel[1] = pixel[2] = pixel[3] = 0xe8;
    }
  }
  return pixels;
}

namespace {

class StatusNotifierItem final : public StatusItem {
 public:
  StatusNotifierItem(StatusItemOptions options, Handlers handlers)
      : options_(std::move(options)), handlers_(std::move(handlers)) {
    symbol_ = options_.symbol;
    items_ = numbered(options_.menu);
    bus_ = options_.busAddress ? std::make_unique<DBusBus>(*options_.busAddress)
                               : std::make_unique<DBusBus>(DBusBus::Kind::session);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    thread_ = WorkerThread([this](std::stop_token) { run(); }, [this] { quitMainLoop(loop_, context_); });
  }

  ~StatusNotifierItem() override {
    thread_.stop();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }

  void setSymbol(const std::string& symbol) override {
    onThread([this, symbol] {
      if (symbol == symbol_) return;
      symbol_ = symbol;
      emit(itemPath, itemInterface, "NewIcon", nullptr);
    });
  }

  void setMenu(std::vector<MenuEntry> entries) override {
    onThread([this, entries = std::move(entries)] {
      std::vector<MenuItem> items = numbered(entries);
      bool same = items.size() == items_.size() &&
                  std::equal(items.begin(), items.end(), items_.begin(), [](const MenuItem& a, const MenuItem& b) {
                    return a.id == b.id && a.entry == b.entry && a.shown == b.shown;
                  });
      if (same) return;
      items_ = std::move(items);
      ++revision_;
      emit(menuPath, menuInterface, "LayoutUpdated", g_variant_new("(ui)", revision_, 0));
    });
  }

 private:
  static std::vector<MenuItem> numbered(const std::vector<MenuEntry>& entries) {
    std::vector<MenuItem> items;
    int nextSeparator = static_cast<int>(entries.size()) + 1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].separatorBefore && i > 0) items.push_back({nextSeparator++, std::nullopt, {}});
      items.push_back({static_cast<int>(i) + 1, i, entries[i]});
    }
    return items;
  }

  // Runs `work` on the item's thread (queued, in order).
  void onThread(std::function<void()> work) {
    struct Posted {
      std::function<void()> work;
    };
    GSource* source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
          static_cast<Posted*>(data)->work();
          return G_SOURCE_REMOVE;
        },
        new Posted{std::move(work)}, [](gpointer data) { delete static_cast<Posted*>(data); });
    g_source_attach(source, context_);
    g_source_unref(source);
  }

  void report(bool shown, const std::string& why) {
    if (reported_ && *reported_ == shown) return;
    reported_ = shown;
    if (handlers_.availability) handlers_.availability(shown, why);
  }

  void emit(const char* path, const char* interface, const char* name, GVariant* parameters) {
    if (!connection_) {
      if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
      return;
    }
    g_dbus_connection_emit_signal(connection_, nullptr, path, interface, name, parameters, nullptr);
  }

  void run() {
    g_main_context_push_thread_default(context_);
    start();
    g_main_loop_run(loop_);
    stopServing();
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_pop_thread_default(context_);
  }

  void start() {
    try {
      connection_ = bus_->connection();
    } catch (const DBusError& error) {
      report(false, std::string("no session bus (") + error.what() + ")");
      return;
    }
    GError* error = nullptr;
    node_ = g_dbus_node_info_new_for_xml(introspection, &error);
    if (!node_) {
      report(false, error->message);
      g_clear_error(&error);
      return;
    }
    static const GDBusInterfaceVTable itemTable{
        &StatusNotifierItem::onItemCall, &StatusNotifierItem::onItemProperty, nullptr, {}};
    static const GDBusInterfaceVTable menuTable{
        &StatusNotifierItem::onMenuCall, &StatusNotifierItem::onMenuProperty, nullptr, {}};
    itemObject_ = g_dbus_connection_register_object(connection_, itemPath,
                                                    g_dbus_node_info_lookup_interface(node_, itemInterface), &itemTable,
                                                    this, nullptr, &error);
    if (itemObject_ != 0) {
      menuObject_ = g_dbus_connection_register_object(connection_, menuPath,
                                                      g_dbus_node_info_lookup_interface(node_, menuInterface),
                                                      &menuTable, this, nullptr, &error);
    }
    if (error) {
      report(false, error->message);
      g_clear_error(&error);
      return;
    }
    name_ = std::string(itemInterface) + "-" + std::to_string(::getpid()) + "-1";
    try {
      GVariant* reply =
          bus_->call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                     g_variant_new("(su)", name_.c_str(), 4u /* do not queue */), G_VARIANT_TYPE("(u)"));
      guint32 answer = 0;
      g_variant_get(reply, "(u)", &answer);
      g_variant_unref(reply);
      // Another item of this process already has the name: the watcher is told the unique
      // name instead, which it serves the item under as well.
      if (answer != 1 && answer != 4) name_ = g_dbus_connection_get_unique_name(connection_);
    } catch (const DBusError&) {
      name_ = g_dbus_connection_get_unique_name(connection_);
    }
    hostSignal_ = g_dbus_connection_signal_subscribe(
        connection_, watcherName, watcherName, "StatusNotifierHostRegistered", watcherPath, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &StatusNotifierItem::onHostRegistered, this, nullptr);
    watch_ = g_bus_watch_name_on_connection(connection_, watcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                            &StatusNotifierItem::onWatcherAppeared,
                                            &StatusNotifierItem::onWatcherVanished, this, nullptr);
  }

  void stopServing() {
    if (cancel_) g_cancellable_cancel(cancel_);
    if (watch_) g_bus_unwatch_name(watch_);
    if (connection_) {
      if (hostSignal_) g_dbus_connection_signal_unsubscribe(connection_, hostSignal_);
      if (itemObject_) g_dbus_connection_unregister_object(connection_, itemObject_);
      if (menuObject_) g_dbus_connection_unregister_object(connection_, menuObject_);
    }
    // Replies still on their way find the calls cancelled, and this object untouched.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    if (cancel_) g_object_unref(cancel_);
    cancel_ = nullptr;
    if (node_) g_dbus_node_info_unref(node_);
    node_ = nullptr;
    connection_ = nullptr;
    // The connection closes on this thread, whose context its callbacks belong to.
    bus_.reset();
  }

  // ---- the watcher

  static void onWatcherAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
    auto* self = static_cast<StatusNotifierItem*>(data);
    self->registerWithWatcher();
  }

  static void onWatcherVanished(GDBusConnection*, const gchar*, gpointer data) {
    auto* self = static_cast<StatusNotifierItem*>(data);
    // An answer of the watcher that went no longer counts.
    self->renewCancellable();
    self->report(false, "no StatusNotifierWatcher runs on the session bus");
  }

  static void onHostRegistered(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                               gpointer data) {
    auto* self = static_cast<StatusNotifierItem*>(data);
    if (self->registered_) self->report(true, "");
  }

  void renewCancellable() {
    if (cancel_) {
      g_cancellable_cancel(cancel_);
      g_object_unref(cancel_);
    }
    cancel_ = g_cancellable_new();
    registered_ = false;
  }

  void registerWithWatcher() {
    renewCancellable();
    g_dbus_connection_call(connection_, watcherName, watcherPath, watcherName, "RegisterStatusNotifierItem",
                           g_variant_new("(s)", name_.c_str()), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, cancel_,
                           &StatusNotifierItem::onRegistered, this);
  }

  static void onRegistered(GObject* source, GAsyncResult* result, gpointer data) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
      g_error_free(error);
      return;
    }
    auto* self = static_cast<StatusNotifierItem*>(data);
    if (!reply) {
      std::string why = std::string("the StatusNotifierWatcher did not take the item (") + error->message + ")";
      g_error_free(error);
      self->report(false, why);
      return;
    }
    g_variant_unref(reply);
    self->registered_ = true;
    g_dbus_connection_call(self->connection_, watcherName, watcherPath, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", watcherName, "IsStatusNotifierHostRegistered"), G_VARIANT_TYPE("(v)"),
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, self->cancel_, &StatusNotifierItem::onHostKnown,
                           self);
  }

  static void onHostKnown(GObject* source, GAsyncResult* result, gpointer data) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
      g_error_free(error);
      return;
    }
    auto* self = static_cast<StatusNotifierItem*>(data);
    bool host = false;
    if (reply) {
      GVariant* value = nullptr;
      g_variant_get(reply, "(v)", &value);
      host = g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
      g_variant_unref(value);
      g_variant_unref(reply);
    } else {
      // A watcher that does not say is taken at its word that it shows items.
      g_error_free(error);
      host = true;
    }
    if (host) {
      self->report(true, "");
    } else {
      self->report(false, "the StatusNotifierWatcher has no tray to show the item in");
    }
  }

  // ---- the item

  GVariant* pixmaps() const {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
    for (int size : {16, 22, 24, 32, 48}) {
      std::vector<unsigned char> pixels = statusSymbolPixels(symbol_, size);
      GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, pixels.data(), pixels.size(), 1);
      g_variant_builder_add(&builder, "(ii@ay)", size, size, bytes);
    }
    return g_variant_builder_end(&builder);
  }

  static GVariant* noPixmaps() { return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0); }

  GVariant* itemProperty(const std::string& name) const {
    if (name == "Category") return g_variant_new_string("ApplicationStatus");
    if (name == "Id") return g_variant_new_string(options_.id.c_str());
    if (name == "Title") return g_variant_new_string(options_.title.c_str());
    if (name == "Status") return g_variant_new_string("Active");
    if (name == "WindowId") return g_variant_new_int32(0);
    if (name == "IconPixmap") return pixmaps();
    if (name == "OverlayIconPixmap" || name == "AttentionIconPixmap") return noPixmaps();
    if (name == "IconThemePath" || name == "IconName" || name == "OverlayIconName" || name == "AttentionIconName" ||
        name == "AttentionMovieName") {
      return g_variant_new_string("");
    }
    if (name == "ToolTip") return g_variant_new("(s@a(iiay)ss)", "", noPixmaps(), options_.title.c_str(), "");
    if (name == "ItemIsMenu") return g_variant_new_boolean(FALSE);
    if (name == "Menu") return g_variant_new_object_path(menuPath);
    return nullptr;
  }

  static GVariant* onItemProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                                  GError** error, gpointer data) {
    GVariant* value = static_cast<StatusNotifierItem*>(data)->itemProperty(name);
    if (!value) g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
    return value;
  }

  static void onItemCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant*,
                         GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<StatusNotifierItem*>(data);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    // The menu is offered through the Menu property; a secondary click or a scroll means
    // nothing here.
    if (std::string(method) == "Activate" && self->handlers_.activate) self->handlers_.activate();
  }

  // ---- the menu

  const MenuItem* findItem(int id) const {
    for (const MenuItem& item : items_) {
      if (item.id == id) return &item;
    }
    return nullptr;
  }

  // The properties of item `id` (0 is the root), only those in `names` when it is not empty.
  GVariant* menuProperties(int id, const std::vector<std::string>& names) const {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    auto wanted = [&](const char* name) {
      return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
    };
    if (id == 0) {
      if (wanted("children-display"))
        g_variant_builder_add(&builder, "{sv}", "children-display", g_variant_new_string("submenu"));
    } else if (const MenuItem* item = findItem(id)) {
      if (!item->entry) {
        if (wanted("type")) g_variant_builder_add(&builder, "{sv}", "type", g_variant_new_string("separator"));
      } else {
        if (wanted("label"))
          g_variant_builder_add(&builder, "{sv}", "label", g_variant_new_string(item->shown.label.c_str()));
        if (wanted("enabled"))
          g_variant_builder_add(&builder, "{sv}", "enabled", g_variant_new_boolean(item->shown.enabled));
      }
      if (wanted("visible")) g_variant_builder_add(&builder, "{sv}", "visible", g_variant_new_boolean(TRUE));
    }
    return g_variant_builder_end(&builder);
  }

  GVariant* layout(int id, int depth, const std::vector<std::string>& names) const {
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    if (id == 0 && depth != 0) {
      for (const MenuItem& item : items_) {
        g_variant_builder_add(&children, "v", layout(item.id, depth - 1, names));
      }
    }
    return g_variant_new("(i@a{sv}@av)", id, menuProperties(id, names), g_variant_builder_end(&children));
  }

  static std::vector<std::string> strings(GVariant* array) {
    std::vector<std::string> result;
    GVariantIter iter;
    g_variant_iter_init(&iter, array);
    const gchar* text = nullptr;
    while (g_variant_iter_next(&iter, "&s", &text)) result.emplace_back(text);
    return result;
  }

  static std::vector<int> integers(GVariant* array) {
    std::vector<int> result;
    GVariantIter iter;
    g_variant_iter_init(&iter, array);
    gint32 value = 0;
    while (g_variant_iter_next(&iter, "i", &value)) result.push_back(value);
    return result;
  }

  bool knows(int id) const { return id == 0 || findItem(id); }

  // A "clicked" event on an entry; false for an ID the menu does not have.
  bool event(int id, const std::string& kind) {
    const MenuItem* item = findItem(id);
    if (id != 0 && !item) return false;
    if (kind == "clicked" && item && item->entry && item->shown.enabled && handlers_.menuEntry) {
      std::size_t index = *item->entry;
      handlers_.menuEntry(index);
    }
    return true;
  }

  void menuCall(const std::string& method, GVariant* parameters, GDBusMethodInvocation* invocation) {
    if (method == "GetLayout") {
      gint32 parent = 0, depth = -1;
      GVariant* names = nullptr;
      g_variant_get(parameters, "(ii@as)", &parent, &depth, &names);
      std::vector<std::string> wanted = strings(names);
      g_variant_unref(names);
      if (!knows(parent)) {
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "no item %d",
                                              parent);
        return;
      }
      g_dbus_method_invocation_return_value(invocation,
                                            g_variant_new("(u@(ia{sv}av))", revision_, layout(parent, depth, wanted)));
    } else if (method == "GetGroupProperties") {
      GVariant* ids = nullptr;
      GVariant* names = nullptr;
      g_variant_get(parameters, "(@ai@as)", &ids, &names);
      std::vector<int> asked = integers(ids);
      std::vector<std::string> wanted = strings(names);
      g_variant_unref(ids);
      g_variant_unref(names);
      if (asked.empty()) {
        for (const MenuItem& item : items_) asked.push_back(item.id);
      }
      GVariantBuilder builder;
      g_variant_builder_init(&builder, G_VARIANT_TYPE("a(ia{sv})"));
      for (int id : asked) {
        if (knows(id)) g_variant_builder_add(&builder, "(i@a{sv})", id, menuProperties(id, wanted));
      }
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(@a(ia{sv}))", g_variant_builder_end(&builder)));
    } else if (method == "GetProperty") {
      gint32 id = 0;
      const gchar* name = nullptr;
      g_variant_get(parameters, "(i&s)", &id, &name);
      GVariant* properties = menuProperties(id, {name});
      GVariant* value = g_variant_lookup_value(properties, name, nullptr);
      g_variant_unref(g_variant_ref_sink(properties));
      if (!knows(id) || !value) {
        if (value) g_variant_unref(value);
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                              "no property %s of item %d", name, id);
        return;
      }
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
      g_variant_unref(value);
    } else if (method == "Event") {
      gint32 id = 0;
      const gchar* kind = nullptr;
      GVariant* payload = nullptr;
      guint32 time = 0;
      g_variant_get(parameters, "(i&svu)", &id, &kind, &payload, &time);
      std::string what(kind);
      g_variant_unref(payload);
      // Answered first: the chosen action may take a while, and the tray waits for the answer.
      if (!knows(id)) {
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "no item %d", id);
        return;
      }
      g_dbus_method_invocation_return_value(invocation, nullptr);
      event(id, what);
    } else if (method == "EventGroup") {
      GVariantIter* events = nullptr;
      g_variant_get(parameters, "(a(isvu))", &events);
      std::vector<std::pair<int, std::string>> asked;
      gint32 id = 0;
      const gchar* kind = nullptr;
      GVariant* payload = nullptr;
      guint32 time = 0;
      while (g_variant_iter_next(events, "(i&svu)", &id, &kind, &payload, &time)) {
        asked.emplace_back(id, kind);
        g_variant_unref(payload);
      }
      g_variant_iter_free(events);
      GVariantBuilder errors;
      g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
      for (auto& [asking, what] : asked) {
        if (!knows(asking)) g_variant_builder_add(&errors, "i", asking);
      }
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(@ai)", g_variant_builder_end(&errors)));
      for (auto& [asking, what] : asked) event(asking, what);
    } else if (method == "AboutToShow") {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
    } else if (method == "AboutToShowGroup") {
      GVariant* ids = nullptr;
      g_variant_get(parameters, "(@ai)", &ids);
      GVariantBuilder errors;
      g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
      for (int id : integers(ids)) {
        if (!knows(id)) g_variant_builder_add(&errors, "i", id);
      }
      g_variant_unref(ids);
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(@ai@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0),
                                    g_variant_builder_end(&errors)));
    } else {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD, "no method %s",
                                            method.c_str());
    }
  }

  static void onMenuCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                         GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    static_cast<StatusNotifierItem*>(data)->menuCall(method, parameters, invocation);
  }

  static GVariant* onMenuProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                                  GError** error, gpointer) {
    std::string property(name);
    if (property == "Version") return g_variant_new_uint32(3);
    if (property == "TextDirection") return g_variant_new_string("ltr");
    if (property == "Status") return g_variant_new_string("normal");
    if (property == "IconThemePath") return g_variant_new_strv(nullptr, 0);
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
    return nullptr;
  }

  StatusItemOptions options_;
  Handlers handlers_;
  std::unique_ptr<DBusBus> bus_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  // The item's thread only, from here on.
  GDBusConnection* connection_ = nullptr;  // borrowed from bus_
  GDBusNodeInfo* node_ = nullptr;
  guint itemObject_ = 0;
  guint menuObject_ = 0;
  guint watch_ = 0;
  guint hostSignal_ = 0;
  GCancellable* cancel_ = nullptr;
  std::string name_;
  bool registered_ = false;
  std::optional<bool> reported_;
  std::string symbol_;
  std::vector<MenuItem> items_;
  guint32 revision_ = 1;
  WorkerThread thread_;  // last: stopped before the rest goes
};

}  // namespace

std::unique_ptr<StatusItem> startStatusNotifierItem(StatusItemOptions options, StatusItem::Handlers handlers) {
  return std::make_unique<StatusNotifierItem>(std::move(options), std::move(handlers));
}

}  // namespace brindlet::platform

#include "platform/power/SystemPowerEvents.h"

#include <gio/gio.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stop_token>
#include <vector>

#include "platform/power/DBusBus.h"
#include "platform/power/PowerLog.h"
#include "platform/support/MainLoopQuit.h"
#include "platform/support/WorkerThread.h"

namespace brindlet::platform {

namespace {

constexpr const char* login1 = "org.freedesktop.login1";

}  // namespace

const char* powerEventName(PowerEvent event) {
  switch (event) {
    case PowerEvent::willSleep:
      return "willSleep";
    case PowerEvent::didWake:
      return "didWake";
    case PowerEvent::screensDidSleep:
      return "screensDidSleep";
    case PowerEvent::screensDidWake:
      return "screensDidWake";
    case PowerEvent::screenLocked:
      return "screenLocked";
    case PowerEvent::screenUnlocked:
      return "screenUnlocked";
  }
  return "unknown";
}

struct SystemPowerEvents::State {
  Handler handler;
  std::unique_ptr<DBusBus> systemBus;
  std::unique_ptr<DBusBus> sessionBus;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  WorkerThread thread;
  std::vector<std::pair<GDBusConnection*, guint>> subscriptions;  // used on the thread only
  std::mutex mutex;
  std::condition_variable ready;
  bool subscribed = false;

  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* member,
                       GVariant* parameters, gpointer data) {
    auto* state = static_cast<State*>(data);
    std::string name(member);
    std::optional<PowerEvent> event;
    if (name == "PrepareForSleep" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) {
      gboolean sleeping = FALSE;
      g_variant_get(parameters, "(b)", &sleeping);
      event = sleeping ? PowerEvent::willSleep : PowerEvent::didWake;
    } else if (name == "ActiveChanged" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) {
      gboolean active = FALSE;
      g_variant_get(parameters, "(b)", &active);
      event = active ? PowerEvent::screensDidSleep : PowerEvent::screensDidWake;
    } else if (name == "Lock" && std::string(interface) == "org.freedesktop.login1.Session") {
      event = PowerEvent::screenLocked;
    } else if (name == "Unlock" && std::string(interface) == "org.freedesktop.login1.Session") {
      event = PowerEvent::screenUnlocked;
    }
    if (event && state->handler) state->handler(*event);
  }

  // This process's login session object, when logind knows one.
  std::optional<std::string> sessionPath() {
    auto path = [](GVariant* reply) {
      const gchar* object = nullptr;
      g_variant_get(reply, "(&o)", &object);
      std::string result(object);
      g_variant_unref(reply);
      return result;
    };
    try {
      return path(systemBus->call(login1, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                  "GetSessionByPID", g_variant_new("(u)", static_cast<guint32>(getpid())),
                                  G_VARIANT_TYPE("(o)")));
    } catch (const DBusError&) {
    }
    if (const char* id = std::getenv("XDG_SESSION_ID"); id && *id) {
      try {
        return path(systemBus->call(login1, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "GetSession",
                                    g_variant_new("(s)", id), G_VARIANT_TYPE("(o)")));
      } catch (const DBusError&) {
      }
    }
    return std::nullopt;
  }

  void subscribe(GDBusConnection* connection, const char* sender, const char* interface, const char* member,
                 const char* path) {
    guint id = g_dbus_connection_signal_subscribe(connection, sender, interface, member, path, nullptr,
                                                  G_DBUS_SIGNAL_FLAGS_NONE, &State::onSignal, this, nullptr);
    subscriptions.emplace_back(connection, id);
  }

  void subscribeAll() {
    try {
      GDBusConnection* system = systemBus->connection();
      subscribe(system, login1, "org.freedesktop.login1.Manager", "PrepareForSleep", "/org/freedesktop/login1");
      std::optional<std::string> session = sessionPath();
      const char* sessionObject = session ? session->c_str() : nullptr;
      subscribe(system, login1, "org.freedesktop.login1.Session", "Lock", sessionObject);
      subscribe(system, login1, "org.freedesktop.login1.Session", "Unlock", sessionObject);
    } catch (const DBusError& error) {
      powerLog().error("sleep and lock events unavailable (system bus: %s)", error.what());
    }
    try {
      GDBusConnection* session = sessionBus->connection();
      subscribe(session, nullptr, "org.freedesktop.ScreenSaver", "ActiveChanged", "/org/freedesktop/ScreenSaver");
    } catch (const DBusError& error) {
      powerLog().error("display sleep events unavailable (session bus: %s)", error.what());
    }
  }

  void quit() { quitMainLoop(loop, context); }

  void run() {
    g_main_context_push_thread_default(context);
    subscribeAll();
    {
      std::lock_guard lock(mutex);
      subscribed = true;
    }
    ready.notify_all();
    g_main_loop_run(loop);
    for (auto& [connection, id] : subscriptions) g_dbus_connection_signal_unsubscribe(connection, id);
    subscriptions.clear();
    // Close the connections on this thread, whose context their callbacks belong to.
    systemBus.reset();
    sessionBus.reset();
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
  }
};

SystemPowerEvents::SystemPowerEvents(Handler handler, std::optional<std::string> systemBusAddress,
                                     std::optional<std::string> sessionBusAddress)
    : state_(std::make_unique<State>()) {
  state_->handler = std::move(handler);
  state_->systemBus = systemBusAddress ? std::make_unique<DBusBus>(*systemBusAddress)
                                       : std::make_unique<DBusBus>(DBusBus::Kind::system);
  state_->sessionBus = sessionBusAddress ? std::make_unique<DBusBus>(*sessionBusAddress)
                                         : std::make_unique<DBusBus>(DBusBus::Kind::session);
}

SystemPowerEvents::~SystemPowerEvents() { stop(); }

void SystemPowerEvents::start() {
  if (state_->context || !state_->systemBus) return;  // running, or stopped for good
  state_->context = g_main_context_new();
  state_->loop = g_main_loop_new(state_->context, FALSE);
  State* state = state_.get();
  // The main loop cannot see the stop token: the stop queues a quit on its context.
  state_->thread = WorkerThread([state](std::stop_token) { state->run(); }, [state] { state->quit(); });
  std::unique_lock lock(state_->mutex);
  state_->ready.wait(lock, [state] { return state->subscribed; });
}

void SystemPowerEvents::stop() {
  if (!state_->context) return;
  state_->thread.stop();
  g_main_loop_unref(state_->loop);
  g_main_context_unref(state_->context);
  state_->loop = nullptr;
  state_->context = nullptr;
}

}  // namespace brindlet::platform

#include "platform/ui/SingleInstance.h"

#include <gio/gio.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

namespace brindlet::platform {

struct SingleInstance::State {
  std::mutex mutex;
  std::condition_variable ready;
  std::optional<Outcome> outcome;
  std::string error;
  Handlers handlers;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
};

namespace {

// Whether a session bus can be reached without starting one (GLib would launch a bus of its
// own for an X session that has none).
bool sessionBusConfigured() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ignored;
  return runtime && *runtime && std::filesystem::exists(std::filesystem::path(runtime) / "bus", ignored);
}

void onActivate(GApplication*, gpointer data) {
  auto* state = static_cast<SingleInstance::State*>(data);
  if (state->handlers.activate) state->handlers.activate();
}

void onOpen(GApplication*, GFile** files, gint count, const gchar*, gpointer data) {
  auto* state = static_cast<SingleInstance::State*>(data);
  for (gint i = 0; i < count; ++i) {
    gchar* uri = g_file_get_uri(files[i]);
    if (uri && state->handlers.open) state->handlers.open(uri);
    g_free(uri);
  }
}

// Registers on the bus in the calling thread's own context; sends the links when another
// process holds the name.
SingleInstance::Outcome registerApplication(GApplication* app, const std::vector<std::string>& urls,
                                            std::string& error) {
  GError* failure = nullptr;
  if (!g_application_register(app, nullptr, &failure)) {
    error = failure ? failure->message : "the session bus refused the name";
    g_clear_error(&failure);
    return SingleInstance::Outcome::unavailable;
  }
  if (!g_application_get_is_remote(app)) return SingleInstance::Outcome::primary;
  if (urls.empty()) {
    g_application_activate(app);
  } else {
    std::vector<GFile*> files;
    for (const std::string& url : urls) files.push_back(g_file_new_for_uri(url.c_str()));
    g_application_open(app, files.data(), static_cast<gint>(files.size()), "");
    for (GFile* file : files) g_object_unref(file);
  }
  // The calls above are queued: they must have left before this process ends.
  if (GDBusConnection* bus = g_application_get_dbus_connection(app))
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
  return SingleInstance::Outcome::forwarded;
}

}  // namespace

SingleInstance::Claim SingleInstance::claim(const std::string& appID, const std::vector<std::string>& urls,
                                            Handlers handlers) {
  Claim result;
  if (!g_application_id_is_valid(appID.c_str())) {
    result.error = "\"" + appID + "\" is not an application name";
    return result;
  }
  if (!sessionBusConfigured()) {
    result.error = "no session bus";
    return result;
  }
  std::unique_ptr<SingleInstance> instance(new SingleInstance());
  auto state = std::make_shared<State>();
  state->handlers = std::move(handlers);
  state->context = g_main_context_new();
  state->loop = g_main_loop_new(state->context, FALSE);
  instance->state_ = state;
  instance->thread_ = WorkerThread(
      [state, appID, urls](std::stop_token) {
        g_main_context_push_thread_default(state->context);
        GApplication* app = g_application_new(appID.c_str(), G_APPLICATION_HANDLES_OPEN);
        g_signal_connect(app, "activate", G_CALLBACK(onActivate), state.get());
        g_signal_connect(app, "open", G_CALLBACK(onOpen), state.get());
        std::string error;
        Outcome outcome = registerApplication(app, urls, error);
        {
          std::lock_guard lock(state->mutex);
          state->outcome = outcome;
          state->error = error;
        }
        state->ready.notify_all();
        if (outcome == Outcome::primary) g_main_loop_run(state->loop);
        // Dropping the application gives the name back.
        g_object_unref(app);
        while (g_main_context_iteration(state->context, FALSE)) {
        }
        g_main_context_pop_thread_default(state->context);
      },
      [state] {
        g_main_context_invoke_full(
            state->context, G_PRIORITY_LOW,
            [](gpointer loop) -> gboolean {
              g_main_loop_quit(static_cast<GMainLoop*>(loop));
              return G_SOURCE_REMOVE;
            },
            state->loop, nullptr);
      });
  {
    std::unique_lock lock(state->mutex);
    state->ready.wait(lock, [&] { return state->outcome.has_value(); });
    result.outcome = *state->outcome;
    result.error = state->error;
  }
  if (result.outcome == Outcome::primary) {
    result.held = std::move(instance);
  }
  return result;
}

bool SingleInstance::waitUntilFree(const std::string& appID, std::chrono::milliseconds limit) {
  if (!sessionBusConfigured()) return false;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) return false;
  auto deadline = std::chrono::steady_clock::now() + limit;
  bool free = false;
  for (;;) {
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", appID.c_str()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (!reply) break;
    gboolean owned = TRUE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    if (!owned) {
      free = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  g_object_unref(bus);
  return free;
}

SingleInstance::~SingleInstance() {
  thread_.stop();
  if (state_) {
    g_main_loop_unref(state_->loop);
    g_main_context_unref(state_->context);
  }
}

}  // namespace brindlet::platform

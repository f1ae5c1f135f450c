// The updater over PackageKit's D-Bus interface: each step is a transaction
// (org.freedesktop.PackageKit.CreateTransaction) whose answers arrive as signals of the
// transaction object (Package, ErrorCode, Finished). The updater's thread runs them one at a
// time, waiting on its own GLib main context.

#include <gio/gio.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/power/DBusBus.h"
#include "platform/support/WorkerThread.h"
#include "platform/update/Updater.h"

namespace brindlet::platform {

namespace {

constexpr const char* packageKit = "org.freedesktop.PackageKit";
constexpr const char* transactionInterface = "org.freedesktop.PackageKit.Transaction";
constexpr guint64 filterNone = 1u << 1;
constexpr guint64 filterInstalled = 1u << 2;
constexpr guint32 exitSuccess = 1;
constexpr auto transactionLimit = std::chrono::seconds(120);

// A package ID is "name;version;arch;data".
std::string field(const std::string& packageID, int index) {
  std::size_t start = 0;
  for (int i = 0; i < index; ++i) {
    start = packageID.find(';', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  return packageID.substr(start, packageID.find(';', start) - start);
}

struct Transaction {
  std::vector<std::string> packages;  // the IDs of the Package signals
  std::optional<std::string> error;   // ErrorCode, or a failed call, or an exit other than success
  bool finished = false;
};

class PackageKitUpdater final : public Updater {
 public:
  explicit PackageKitUpdater(PackageKitUpdaterOptions options) : options_(std::move(options)) {
    bus_ = options_.systemBusAddress ? std::make_unique<DBusBus>(*options_.systemBusAddress)
                                     : std::make_unique<DBusBus>(DBusBus::Kind::system);
    context_ = g_main_context_new();
  }

  ~PackageKitUpdater() override {
    thread_.stop();
    g_main_context_unref(context_);
  }

  void start(Handlers handlers) override {
    if (thread_.isRunning()) return;
    handlers_ = std::move(handlers);
    thread_ = WorkerThread([this](std::stop_token stop) { run(stop); },
                           [this] {
                             std::lock_guard lock(mutex_);
                             wake_.notify_all();
                             g_main_context_wakeup(context_);
                           });
  }

  void checkForUpdates() override {
    std::lock_guard lock(mutex_);
    checkWanted_ = true;
    wake_.notify_all();
  }

 private:
  void run(std::stop_token stop) {
    g_main_context_push_thread_default(context_);
    bool can = findPackage(stop);
    setCanCheck(can);
    while (can && !stop.stop_requested()) {
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return checkWanted_ || stop.stop_requested(); });
        if (stop.stop_requested()) break;
        checkWanted_ = false;
      }
      setCanCheck(false);
      Outcome outcome = check(stop);
      if (stop.stop_requested()) break;
      if (handlers_.checked) handlers_.checked(outcome);
      {
        // A click while the check ran does not start another.
        std::lock_guard lock(mutex_);
        checkWanted_ = false;
      }
      setCanCheck(true);
    }
    bus_.reset();
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_pop_thread_default(context_);
  }

  void setCanCheck(bool can) {
    if (reported_ && *reported_ == can) return;
    reported_ = can;
    if (handlers_.canCheck) handlers_.canCheck(can);
  }

  void say(const std::string& why) {
    if (options_.log) options_.log(why);
  }

  bool findPackage(std::stop_token stop) {
    std::error_code error;
    std::filesystem::path program = std::filesystem::canonical(options_.programPath, error);
    if (error) program = options_.programPath;
    bool packaged = false;
    for (const std::string& folder : options_.packageFolders) {
      if (program.string().rfind(folder, 0) == 0) packaged = true;
    }
    if (!packaged) {
      say("updates cannot be checked: " + program.string() + " was not installed from a package");
      return false;
    }
    Transaction found = transact(
        "SearchFiles",
        g_variant_new("(t^as)", filterInstalled, std::vector<const char*>{program.c_str(), nullptr}.data()), stop);
    if (found.error) {
      say("updates cannot be checked: PackageKit is not available (" + *found.error + ")");
      return false;
    }
    if (found.packages.empty()) {
      say("updates cannot be checked: " + program.string() + " was not installed from a package");
      return false;
    }
    package_ = field(found.packages.front(), 0);
    installedVersion_ = field(found.packages.front(), 1);
    return true;
  }

  Outcome check(std::stop_token stop) {
    // Fresh package lists when the system allows it; the lists already there otherwise.
    transact("RefreshCache", g_variant_new("(b)", FALSE), stop);
    Transaction updates = transact("GetUpdates", g_variant_new("(t)", filterNone), stop);
    Outcome outcome;
    if (updates.error) {
      outcome.kind = Outcome::Kind::failed;
      outcome.error = *updates.error;
      return outcome;
    }
    for (const std::string& id : updates.packages) {
      if (field(id, 0) == package_) {
        outcome.kind = Outcome::Kind::available;
        outcome.version = field(id, 1);
        return outcome;
      }
    }
    outcome.kind = Outcome::Kind::upToDate;
    outcome.version = installedVersion_;
    return outcome;
  }

  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member,
                       GVariant* parameters, gpointer data) {
    auto* transaction = static_cast<Transaction*>(data);
    std::string name(member);
    if (name == "Package" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uss)"))) {
      const gchar* id = nullptr;
      g_variant_get(parameters, "(u&s&s)", nullptr, &id, nullptr);
      transaction->packages.emplace_back(id);
    } else if (name == "ErrorCode" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
      const gchar* details = nullptr;
      g_variant_get(parameters, "(u&s)", nullptr, &details);
      transaction->error = details;
    } else if (name == "Finished" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
      guint32 exit = 0;
      g_variant_get(parameters, "(uu)", &exit, nullptr);
      if (exit != exitSuccess && !transaction->error) transaction->error = "the transaction did not succeed";
      transaction->finished = true;
    }
  }

  // Runs one transaction to its end (or the limit, or the stop); `parameters` is consumed.
  Transaction transact(const char* method, GVariant* parameters, std::stop_token stop) {
    Transaction transaction;
    g_variant_ref_sink(parameters);
    GDBusConnection* connection = nullptr;
    try {
      connection = bus_->connection();
    } catch (const DBusError& error) {
      g_variant_unref(parameters);
      transaction.error = error.what();
      return transaction;
    }
    GError* error = nullptr;
    // PackageKit is started on demand by the bus.
    GVariant* created = g_dbus_connection_call_sync(connection, packageKit, "/org/freedesktop/PackageKit", packageKit,
                                                    "CreateTransaction", nullptr, G_VARIANT_TYPE("(o)"),
                                                    G_DBUS_CALL_FLAGS_NONE, 25000, nullptr, &error);
    if (!created) {
      transaction.error = error->message;
      g_error_free(error);
      g_variant_unref(parameters);
      return transaction;
    }
    const gchar* path = nullptr;
    g_variant_get(created, "(&o)", &path);
    std::string object(path);
    g_variant_unref(created);
    guint subscription = g_dbus_connection_signal_subscribe(connection, nullptr, transactionInterface, nullptr,
                                                            object.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                            &PackageKitUpdater::onSignal, &transaction, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(connection, packageKit, object.c_str(), transactionInterface, method,
                                                  parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 25000, nullptr, &error);
    g_variant_unref(parameters);
    if (!reply) {
      transaction.error = error->message;
      g_error_free(error);
    } else {
      g_variant_unref(reply);
      auto end = std::chrono::steady_clock::now() + transactionLimit;
      while (!transaction.finished && !stop.stop_requested() && std::chrono::steady_clock::now() < end) {
        // A second's tick bounds each wait; the stop wakes the context at once.
        GSource* tick = g_timeout_source_new(1000);
        g_source_set_callback(
            tick, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(tick, context_);
        g_main_context_iteration(context_, TRUE);
        g_source_destroy(tick);
        g_source_unref(tick);
      }
      if (!transaction.finished && !transaction.error) transaction.error = "PackageKit did not finish in time";
    }
    g_dbus_connection_signal_unsubscribe(connection, subscription);
    // Signals already queued for the subscription are dropped here, before `transaction` goes.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    return transaction;
  }

  PackageKitUpdaterOptions options_;
  Handlers handlers_;
  std::unique_ptr<DBusBus> bus_;
  GMainContext* context_ = nullptr;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool checkWanted_ = false;
  // The updater's thread only.
  std::optional<bool> reported_;
  std::string package_;
  std::string installedVersion_;
  WorkerThread thread_;
};

}  // namespace

std::unique_ptr<Updater> makePackageKitUpdater(PackageKitUpdaterOptions options) {
  return std::make_unique<PackageKitUpdater>(std::move(options));
}

}  // namespace brindlet::platform

#pragma once

// A private D-Bus bus with python-dbusmock stand-ins on it, for tests: a bus daemon of its
// own (never the machine's buses), logind from dbusmock's template and a bare screen-saver
// object whose methods a test adds. Every process is started here, tracked by its pid and
// stopped by the destructor.
//
//   DBusMock mock;                               // bus only
//   mock.startLogind();
//   mock.startScreenSaver();                     // org.freedesktop.ScreenSaver, no methods yet
//   mock.addMethod(DBusMock::screenSaver, "Inhibit", "ss", "u", "ret = 1");
//   mock.calls(DBusMock::screenSaver, "Inhibit") ...

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gio/gio.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/power/DBusBus.h"

namespace brindlet::testing {

class DBusMock {
 public:
  struct Object {
    const char* name;
    const char* path;
  };
  static constexpr Object screenSaver{"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"};
  static constexpr Object logind{"org.freedesktop.login1", "/org/freedesktop/login1"};

  DBusMock() {
    char folder[] = "/tmp/brindlet-dbusmock.XXXXXX";
    if (!mkdtemp(folder)) throw std::runtime_error("mkdtemp");
    runtimeFolder_ = folder;
    int pipeFDs[2];
    if (pipe(pipeFDs) != 0) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid == 0) {
      // The read end first: it may itself be descriptor 3.
      close(pipeFDs[0]);
      dup2(pipeFDs[1], 3);
      // A service this bus starts on demand (the accessibility bus a GTK program asks for) runs
      // in folders of its own and away from the X display: otherwise it would take over the
      // socket and the display's bus property of the test services' accessibility bus, and
      // remove them when this bus ends.
      setenv("XDG_RUNTIME_DIR", folder, 1);
      setenv("XDG_CACHE_HOME", folder, 1);
      unsetenv("DISPLAY");
      execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nosyslog", "--print-address=3",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipeFDs[1]);
    pids_.push_back(pid);
    std::string line;
    char c;
    while (read(pipeFDs[0], &c, 1) == 1 && c != '\n') line += c;
    close(pipeFDs[0]);
    if (line.empty()) throw std::runtime_error("dbus-daemon gave no address");
    address_ = line;
    bus_ = std::make_unique<platform::DBusBus>(address_);
  }

  ~DBusMock() {
    bus_.reset();
    for (auto it = pids_.rbegin(); it != pids_.rend(); ++it) {
      kill(*it, SIGTERM);
      int status = 0;
      waitpid(*it, &status, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(runtimeFolder_, ignored);
  }

  const std::string& address() const { return address_; }
  platform::DBusBus& bus() { return *bus_; }

  void startLogind() { startMock({"--template", "logind"}, logind.name); }
  // A bare mock object named `object` serving `interface`, with no methods yet.
  void startObject(Object object, const char* interface) {
    startMock({object.name, object.path, interface}, object.name);
  }
  void startScreenSaver() {
    startMock({"--session", screenSaver.name, screenSaver.path, screenSaver.name}, screenSaver.name);
  }

  void addMethod(Object object, const char* method, const char* in, const char* out, const char* code) {
    g_variant_unref(bus_->call(object.name, object.path, "org.freedesktop.DBus.Mock", "AddMethod",
                               g_variant_new("(sssss)", object.name, method, in, out, code), nullptr));
  }

  // The arguments of every call of `method` so far, each printed as GVariant text.
  std::vector<std::string> calls(Object object, const char* method) {
    GVariant* reply = bus_->call(object.name, object.path, "org.freedesktop.DBus.Mock", "GetMethodCalls",
                                 g_variant_new("(s)", method), G_VARIANT_TYPE("(a(tav))"));
    std::vector<std::string> result;
    GVariantIter* iter = nullptr;
    g_variant_get(reply, "(a(tav))", &iter);
    guint64 time = 0;
    GVariantIter* args = nullptr;
    while (g_variant_iter_next(iter, "(tav)", &time, &args)) {
      std::string text;
      GVariant* arg = nullptr;
      while (g_variant_iter_next(args, "v", &arg)) {
        gchar* printed = g_variant_print(arg, FALSE);
        if (!text.empty()) text += ",";
        text += printed;
        g_free(printed);
        g_variant_unref(arg);
      }
      g_variant_iter_free(args);
      result.push_back(text);
    }
    g_variant_iter_free(iter);
    g_variant_unref(reply);
    return result;
  }

  // Emits a signal from a mock object (args: a GVariant tuple text such as "[true]" for "b").
  void emitSignal(Object object, const char* path, const char* interface, const char* name, const char* signature,
                  GVariant* args) {
    g_variant_unref(bus_->call(object.name, path, "org.freedesktop.DBus.Mock", "EmitSignal",
                               g_variant_new("(sss@av)", interface, name, signature, args), nullptr));
  }

  void call(Object object, const char* path, const char* interface, const char* method, GVariant* args) {
    g_variant_unref(bus_->call(object.name, path, interface, method, args, nullptr));
  }

 private:
  void startMock(std::vector<std::string> arguments, const char* name) {
    pid_t pid = fork();
    if (pid == 0) {
      setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
      setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
      std::vector<char*> argv{const_cast<char*>("/usr/bin/python3"), const_cast<char*>("-m"),
                              const_cast<char*>("dbusmock")};
      for (auto& a : arguments) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv("/usr/bin/python3", argv.data());
      _exit(127);
    }
    pids_.push_back(pid);
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < giveUp) {
      GVariant* reply = bus_->call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"));
      gboolean owned = FALSE;
      g_variant_get(reply, "(b)", &owned);
      g_variant_unref(reply);
      if (owned) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error(std::string("the stand-in for ") + name + " did not appear");
  }

  std::string runtimeFolder_;
  std::string address_;
  std::unique_ptr<platform::DBusBus> bus_;
  std::vector<pid_t> pids_;
};

}  // namespace brindlet::testing

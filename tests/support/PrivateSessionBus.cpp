#include "support/PrivateSessionBus.h"

#include <signal.h>
#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace brindlet::testing {

using namespace std::chrono_literals;

namespace {

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  std::size_t start = text.find_first_not_of(" \n");
  return start == std::string::npos ? std::string() : text.substr(start);
}

bool running(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

}  // namespace

PrivateSessionBus::PrivateSessionBus(const std::string& tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / ("brindlet-" + tag + "-bus-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) {
    failure_ = "no temporary folder";
    return;
  }
  root_ = pattern;
  for (const char* folder : {"home", "runtime", "cache"}) std::filesystem::create_directories(root_ / folder);
  std::filesystem::permissions(root_ / "runtime", std::filesystem::perms::owner_all);

  // Services the bus starts on demand (the accessibility bus launcher among them) inherit
  // the daemon's environment, and with it these folders.
  daemon_ = std::make_unique<ChildProcess>(
      "/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--nosyslog", "--print-address=1"},
      ChildProcess::Environment{{"HOME", (root_ / "home").string()},
                                {"XDG_RUNTIME_DIR", (root_ / "runtime").string()},
                                {"XDG_CACHE_HOME", (root_ / "cache").string()}});
  if (!daemon_->waitForOutput("\n", 10s)) {
    failure_ = "dbus-daemon gave no address: " + daemon_->output();
    return;
  }
  std::string output = daemon_->output();
  address_ = output.substr(0, output.find('\n'));

  // Starting the accessibility bus now, and asking for its address, means the test's programs
  // are told exactly which one to use (instead of the one the X display last named).
  // On a busy machine the launcher may miss the first call's time-out: a few more tries.
  std::string reply;
  for (int attempt = 0; attempt < 4; ++attempt) {
    reply = call({"--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress"});
    if (reply.rfind("unix:", 0) == 0) break;
    std::this_thread::sleep_for(500ms);
  }
  if (reply.rfind("unix:", 0) != 0) {
    failure_ = "no accessibility bus: " + reply;
    return;
  }
  accessibilityAddress_ = reply;
  std::string owner = call({"--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:org.a11y.Bus"});
  if (owner.rfind("uint32 ", 0) == 0) launcher_ = static_cast<pid_t>(std::atol(owner.c_str() + 7));
}

PrivateSessionBus::~PrivateSessionBus() {
  for (auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  // The launcher leaves when its session bus goes (and takes its accessibility bus along);
  // should it linger, it is ended by its process id.
  if (daemon_) daemon_->stop();
  if (launcher_ > 0) {
    auto end = std::chrono::steady_clock::now() + 5s;
    while (running(launcher_) && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(50ms);
    if (running(launcher_)) ::kill(launcher_, SIGKILL);
  }
  if (!root_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
}

std::string PrivateSessionBus::call(const std::vector<std::string>& arguments) {
  std::vector<std::string> all{"--bus=" + address_, "--print-reply=literal", "--reply-timeout=15000"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  ChildProcess send("/usr/bin/dbus-send", all, {});
  if (!send.waitForExit(20s)) {
    send.stop();
    return "dbus-send did not answer in time";
  }
  return trimmed(send.output());
}

ChildProcess::Environment PrivateSessionBus::environment() const {
  return {{"DBUS_SESSION_BUS_ADDRESS", address_},
          {"AT_SPI_BUS_ADDRESS", accessibilityAddress_},
          {"HOME", (root_ / "home").string()},
          {"XDG_RUNTIME_DIR", (root_ / "runtime").string()},
          {"XDG_CACHE_HOME", (root_ / "cache").string()}};
}

void PrivateSessionBus::exportToThisProcess() {
  for (auto& [name, value] : environment()) {
    const char* before = std::getenv(name.c_str());
    saved_.emplace_back(name, before ? std::optional<std::string>(before) : std::nullopt);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
}

}  // namespace brindlet::testing

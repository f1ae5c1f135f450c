#include "platform/apps/RunningDesktopApps.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <memory>

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include "platform/support/OwnEnvironment.h"

namespace brindlet::platform {

namespace {

struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object) g_object_unref(object);
  }
};

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

std::string baseName(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<std::size_t> matchDesktopApp(const std::vector<DesktopAppKeys>& entries, const std::string& wmClass,
                                           const std::string& executable) {
  const std::string cls = lowered(wmClass);
  if (!cls.empty()) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (!entries[i].wmClass.empty() && lowered(entries[i].wmClass) == cls) return i;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
      std::string id = lowered(entries[i].id);
      if (id.ends_with(".desktop")) id.resize(id.size() - 8);
      const auto dot = id.find_last_of('.');
      if (id == cls || (dot != std::string::npos && id.substr(dot + 1) == cls)) return i;
    }
  }
  if (!executable.empty()) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].executable == executable) return i;
    }
  }
  return std::nullopt;
}

std::string processExecutable(std::int32_t pid) {
  if (pid < 1) return {};
  const std::string proc = "/proc/" + std::to_string(pid);
  char target[4096];
  const ssize_t length = ::readlink((proc + "/exe").c_str(), target, sizeof target - 1);
  if (length > 0) {
    std::string path(target, std::size_t(length));
    if (path.ends_with(" (deleted)")) path.resize(path.size() - 10);
    return baseName(path);
  }
  std::ifstream comm(proc + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

bool processAlive(std::int32_t pid) {
  if (pid < 1) return false;
  if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return false;
  std::string line;
  std::getline(stat, line);
  // The state follows the command name in parentheses, which may itself hold any character.
  const auto close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

DesktopLaunch launchDesktopApp(const std::string& id) {
  DesktopLaunch result;
  std::unique_ptr<GDesktopAppInfo, GObjectUnref> info(id.empty() ? nullptr : g_desktop_app_info_new(id.c_str()));
  if (!info) {
    result.error = DesktopLaunch::Error::notFound;
    result.message = "no desktop entry " + id;
    return result;
  }
  // The program gets the user's environment: what this process set for its own use goes back
  // to what it was.
  std::unique_ptr<GAppLaunchContext, GObjectUnref> context(g_app_launch_context_new());
  for (const auto& [name, before] : ownVariables()) {
    if (before) {
      g_app_launch_context_setenv(context.get(), name.c_str(), before->c_str());
    } else {
      g_app_launch_context_unsetenv(context.get(), name.c_str());
    }
  }
  GError* error = nullptr;
  auto noteChild = [](GDesktopAppInfo*, GPid pid, gpointer data) { *static_cast<std::int32_t*>(data) = pid; };
  // Without G_SPAWN_DO_NOT_REAP_CHILD the program runs as a grandchild: nothing of it is left
  // for this process to reap.
  const gboolean started =
      g_desktop_app_info_launch_uris_as_manager(info.get(), nullptr, context.get(), G_SPAWN_SEARCH_PATH, nullptr,
                                                nullptr, noteChild, &result.pid, &error);
  if (!started) {
    result.error = DesktopLaunch::Error::failed;
    result.message = error ? error->message : "launch failed";
  }
  if (error) g_error_free(error);
  return result;
}

}  // namespace brindlet::platform

#include "platform/storage/StorageDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace brindlet::platform {
namespace {

std::filesystem::path fromEnvironment(const char* name, const char* fallbackBelowHome) {
  // A relative path in an XDG variable is invalid and is ignored.
  if (const char* value = std::getenv(name); value && value[0] == '/') return value;
  return StorageDirectories::homeDirectory() / fallbackBelowHome;
}

}  // namespace

std::filesystem::path StorageDirectories::homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "/";
}

std::filesystem::path StorageDirectories::configDirectory() { return fromEnvironment("XDG_CONFIG_HOME", ".config"); }

std::filesystem::path StorageDirectories::applicationSupportDirectory() {
  return fromEnvironment("XDG_DATA_HOME", ".local/share");
}

std::filesystem::path StorageDirectories::cachesDirectory() { return fromEnvironment("XDG_CACHE_HOME", ".cache"); }

}  // namespace brindlet::platform

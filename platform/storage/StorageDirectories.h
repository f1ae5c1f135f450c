#pragma once

#include <filesystem>

namespace brindlet::platform {

// The user's folders for settings, application data ("Application Support") and caches,
// after the XDG base-directory rules: $XDG_CONFIG_HOME, $XDG_DATA_HOME and $XDG_CACHE_HOME
// when set to an absolute path, else ~/.config, ~/.local/share and ~/.cache. They are
// read from the environment on every call, so a test can point them at a temporary folder.
class StorageDirectories {
 public:
  static std::filesystem::path configDirectory();
  static std::filesystem::path applicationSupportDirectory();
  static std::filesystem::path cachesDirectory();
  static std::filesystem::path homeDirectory();
};

}  // namespace brindlet::platform

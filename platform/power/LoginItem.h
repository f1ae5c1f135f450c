#pragma once

// Starting the application at login, as an XDG autostart entry: the file
// "<config>/autostart/<name>.desktop" (config: $XDG_CONFIG_HOME, else ~/.config).
//
//   LoginItem item("io.tavix.nolu.host", "Nolu Host", "/usr/bin/brindlet-host");
//   item.registerItem();          // throws std::runtime_error with the reason
//   item.isEnabled();             // the entry exists and is not hidden or disabled

#include <filesystem>
#include <string>

namespace brindlet::platform {

class LoginItem {
 public:
  LoginItem(std::string name, std::string displayName, std::filesystem::path executable);

  // The running program as the item to start (its /proc/self/exe).
  static LoginItem mainApp();

  std::filesystem::path entryPath() const;
  void registerItem();
  void unregisterItem();
  bool isEnabled() const;

 private:
  std::string name_;
  std::string displayName_;
  std::filesystem::path executable_;
};

}  // namespace brindlet::platform

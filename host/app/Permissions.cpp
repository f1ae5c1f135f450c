#include "host/app/Permissions.h"

#include "platform/input/EventPoster.h"
#include "platform/log/Log.h"
#include "platform/screen/XConnection.h"

namespace brindlet::host {

namespace {

class X11Permissions final : public Permissions::System {
 public:
  bool preflightScreenCapture() override {
    try {
      return !platform::XConnection::open()->failed();
    } catch (const std::exception&) {
      return false;
    }
  }
  bool requestScreenCapture() override { return preflightScreenCapture(); }
  bool isTrusted(bool) override { return platform::EventPoster().isAvailable(); }
  void openURL(const std::string& url) override {
    platform::systemLog("Nolu: no settings pane on this system for %s", url.c_str());
  }
};

}  // namespace

std::shared_ptr<Permissions::System> Permissions::system() { return std::make_shared<X11Permissions>(); }

Permissions::Status Permissions::current(System& system) {
  return {system.preflightScreenCapture(), system.isTrusted(false)};
}

void Permissions::request(Kind kind, System& system) {
  switch (kind) {
    case Kind::screenRecording:
      if (!system.requestScreenCapture()) system.openURL(settingsURL(kind));
      return;
    case Kind::accessibility:
      if (!system.isTrusted(true)) system.openURL(settingsURL(kind));
      return;
  }
}

std::string Permissions::settingsURL(Kind kind) {
  return kind == Kind::screenRecording
             ? "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture"
             : "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
}

}  // namespace brindlet::host
